// The tests' operating-system helpers on Windows.
//
// The C library here has no way to build a stream on callbacks, so the recorder is a real
// (temporary) stream whose formatted output is intercepted at the formatting call: the test binary
// is linked with --wrap=__mingw_vfprintf, the function every vfprintf of C++ code resolves to with
// mingw-w64, and a message for the recorder's stream is handed over whole instead of written.
#include <io.h>
#include <windows.h>

#include <cstdarg>
#include <string>

#include "test_os.h"

extern "C" int __real___mingw_vfprintf(std::FILE* stream, const char* format, va_list args);

namespace {

std::FILE* recorderStream = nullptr;
void (*recorder)(const char*, std::size_t) = nullptr;

}  // namespace

extern "C" int __wrap___mingw_vfprintf(std::FILE* stream, const char* format, va_list args) {
  if (stream == nullptr || stream != recorderStream || recorder == nullptr) {
    return __real___mingw_vfprintf(stream, format, args);
  }
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length < 0) return length;
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, args);
  recorder(text.data(), static_cast<std::size_t>(length));
  return length;
}

namespace test_os {

bool RuntimeLoaded() {
  return GetModuleHandleA("kolt8.dll") != nullptr;
}

void* RuntimeSymbol(const char* symbol) {
  const HMODULE library = LoadLibraryA("kolt8.dll");
  return library != nullptr ? reinterpret_cast<void*>(GetProcAddress(library, symbol)) : nullptr;
}

std::FILE* OpenRecorder(void (*record)(const char*, std::size_t)) {
  recorder = record;
  recorderStream = std::tmpfile();
  return recorderStream;
}

void CloseRecorder(std::FILE* stream) {
  if (stream != nullptr) std::fclose(stream);
  recorderStream = nullptr;
  recorder = nullptr;
}

bool DetachStandardInput() {
  // NUL is the console-less input of a service: _getch must not be reached, nor wait.
  return std::freopen("NUL", "r", stdin) != nullptr &&
         SetStdHandle(STD_INPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdin)))) !=
             0;
}

}  // namespace test_os
