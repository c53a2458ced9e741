// Windows side of the platform layer: the console key read and the runtime library loaded with
// LoadLibraryA.
#include <conio.h>
#include <windows.h>

#include "platform/platform.h"

namespace platform {

namespace {

LibraryError libraryError{};

}  // namespace

void KeepGoingWithoutConsole() {
  // A write to a pipe that nobody reads fails with an error here; no signal ends the process.
}

void WaitForKey() {
  // Under a service wrapper, or with input redirected, there is no console to read a key from:
  // _getch would wait on input that may never come.
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) == 0) return;
  _getch();
}

const char* RuntimeLibraryName() {
  return "kolt8.dll";
}

void* OpenLibrary(const char* name) {
  // The plain name, with the system's usual search (the executable's folder, the system folders,
  // the current folder, then PATH): users put the runtime's folder on PATH or start the bridge
  // from there.
  void* library = reinterpret_cast<void*>(LoadLibraryA(name));
  if (library == nullptr) libraryError.code = GetLastError();
  return library;
}

void* LibrarySymbol(void* library, const char* name) {
  void* symbol = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
  if (symbol == nullptr) libraryError.code = GetLastError();
  return symbol;
}

void CloseLibrary(void* library) {
  if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

const LibraryError& LastLibraryError() {
  return libraryError;
}

}  // namespace platform
