// Windows side of the platform layer: the console's code page, the console key read and the
// runtime library loaded with LoadLibraryA.
#include <conio.h>
#include <windows.h>

#include "platform/platform.h"

namespace {

constexpr UINT kWindows1252 = 1252;
// The console's output code page before PrepareConsole set 1252; 0 when it was left alone.
UINT replacedCodePage = 0;

// The console outlives the bridge (it is usually the command prompt's): a Ctrl-C or Ctrl-Break
// must not leave it showing that prompt's text through our code page.
BOOL WINAPI RestoreOnInterrupt(DWORD) {
  platform::RestoreConsole();
  return FALSE;  // the default handler still ends the process
}

}  // namespace

namespace platform {

void PrepareConsole() {
  // A French console shows bytes through code page 850, where 0xE0 and 0xE9 are other letters
  // than "à" and "é". Only a console has a code page: a pipe or a file gets the bytes.
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) == 0) return;
  const UINT page = GetConsoleOutputCP();
  if (page == 0 || page == kWindows1252 || SetConsoleOutputCP(kWindows1252) == 0) return;
  replacedCodePage = page;
  SetConsoleCtrlHandler(RestoreOnInterrupt, TRUE);
}

void RestoreConsole() {
  if (replacedCodePage == 0) return;
  SetConsoleOutputCP(replacedCodePage);
  replacedCodePage = 0;
}

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
