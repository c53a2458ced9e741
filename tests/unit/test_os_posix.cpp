// The tests' operating-system helpers on POSIX: dlopen, a fopencookie stream, /dev/null.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include "test_os.h"

namespace {

void (*recorder)(const char*, std::size_t) = nullptr;

ssize_t Record(void*, const char* bytes, size_t size) {
  if (recorder != nullptr) recorder(bytes, size);
  return static_cast<ssize_t>(size);
}

}  // namespace

namespace test_os {

bool RuntimeLoaded() {
  void* handle = dlopen("libkolt8.so", RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
}

void* RuntimeSymbol(const char* symbol) {
  void* library = dlopen("libkolt8.so", RTLD_NOW | RTLD_LOCAL);
  return library != nullptr ? dlsym(library, symbol) : nullptr;
}

std::FILE* OpenRecorder(void (*record)(const char*, std::size_t)) {
  recorder = record;
  cookie_io_functions_t functions{};
  functions.write = Record;
  return fopencookie(nullptr, "w", functions);
}

void CloseRecorder(std::FILE* stream) {
  if (stream != nullptr) std::fclose(stream);
  recorder = nullptr;
}

bool DetachStandardInput() {
  const int devNull = open("/dev/null", O_RDONLY);
  if (devNull < 0) return false;
  const bool moved = dup2(devNull, STDIN_FILENO) == STDIN_FILENO;
  close(devNull);
  return moved;
}

}  // namespace test_os
