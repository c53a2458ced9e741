// Windows side of the platform layer: the console key read and the runtime library loaded with
// LoadLibraryA.
#include <conio.h>
#include <windows.h>

#include "platform/platform.h"

namespace platform {

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
  return reinterpret_cast<void*>(LoadLibraryA(name));
}

void* LibrarySymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void CloseLibrary(void* library) {
  if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

}  // namespace platform
