// Windows side of the platform layer: the console's code page and input mode, the console key
// read and the runtime library loaded with LoadLibraryA.
#include <conio.h>
#include <windows.h>

#include "platform/library_diagnostics.h"
#include "platform/platform.h"

namespace {

constexpr UINT kWindows1252 = 1252;
// The console's output code page before PrepareConsole set 1252; 0 when it was left alone.
UINT replacedCodePage = 0;
// The console's input mode before PrepareConsole turned QuickEdit and insert mode off.
DWORD replacedInputMode = 0;
bool inputModeReplaced = false;

// The console outlives the bridge (it is usually the command prompt's): a Ctrl-C, a Ctrl-Break or
// the window closed must not leave it showing that prompt's text through our code page, nor
// without the QuickEdit the user chose.
BOOL WINAPI RestoreOnInterrupt(DWORD) {
  platform::RestoreConsole();
  return FALSE;  // the default handler still ends the process
}

bool UseWindows1252Output() {
  // A French console shows bytes through code page 850, where 0xE0 and 0xE9 are other letters
  // than "à" and "é". Only a console has a code page: a pipe or a file gets the bytes.
  DWORD mode = 0;
  if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) == 0) return false;
  const UINT page = GetConsoleOutputCP();
  if (page == 0 || page == kWindows1252 || SetConsoleOutputCP(kWindows1252) == 0) return false;
  replacedCodePage = page;
  return true;
}

bool TurnQuickEditOff() {
  // A click in the window starts a QuickEdit selection, and Windows then holds every write to the
  // console until the selection ends: the program would stop in the middle of its work. Insert
  // mode goes too, as nobody types into this console. Both are extended flags, which Windows
  // changes only when ENABLE_EXTENDED_FLAGS is in the same call.
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(input, &mode) == 0) return false;  // a pipe, a file, or no input at all
  const DWORD wanted = (mode | ENABLE_EXTENDED_FLAGS) &
                       ~static_cast<DWORD>(ENABLE_QUICK_EDIT_MODE | ENABLE_INSERT_MODE);
  if (wanted == mode || SetConsoleMode(input, wanted) == 0) return false;
  replacedInputMode = mode;
  inputModeReplaced = true;
  return true;
}

}  // namespace

namespace platform {

namespace {

LibraryError libraryError{};

}  // namespace

void PrepareConsole() {
  const bool pageSet = UseWindows1252Output();
  const bool modeSet = TurnQuickEditOff();
  if (pageSet || modeSet) SetConsoleCtrlHandler(RestoreOnInterrupt, TRUE);
}

void RestoreConsole() {
  if (replacedCodePage != 0) {
    SetConsoleOutputCP(replacedCodePage);
    replacedCodePage = 0;
  }
  if (inputModeReplaced) {
    // With ENABLE_EXTENDED_FLAGS the QuickEdit and insert bits read at start are applied again;
    // without it Windows would keep them off.
    SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), replacedInputMode | ENABLE_EXTENDED_FLAGS);
    inputModeReplaced = false;
  }
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
