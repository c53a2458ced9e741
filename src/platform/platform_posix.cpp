// POSIX side of the platform layer: the console key read and the runtime library loaded with
// dlopen.
#include <dlfcn.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/library_diagnostics.h"
#include "platform/platform.h"

namespace platform {

namespace {

LibraryError libraryError{};

// dlerror forgets its text once read: it is taken at once.
void NoteLibraryError() {
  const char* text = dlerror();
  std::snprintf(libraryError.text, sizeof libraryError.text, "%s", text != nullptr ? text : "");
}

}  // namespace

void KeepGoingWithoutConsole() {
  // A console piped to a log process that has died would end the bridge with SIGPIPE at its next
  // message, between a reply and its result code. On Windows that write just fails; so here.
  signal(SIGPIPE, SIG_IGN);
}

void PrepareConsole() {
  // A terminal here shows the bytes it is given; there is no code page to choose, and selecting
  // text in a terminal emulator never holds the program's writes.
}

void RestoreConsole() {}

void WaitForKey() {
  // Under a service wrapper or a pipe there is nobody to press a key: return at once rather than
  // wait for input that may never end.
  if (isatty(STDIN_FILENO) == 0) return;

  termios saved{};
  const bool haveSaved = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (haveSaved) {
    termios keyMode = saved;
    keyMode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keyMode.c_cc[VMIN] = 1;
    keyMode.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &keyMode);
  }
  char key = 0;
  ssize_t got = 0;
  do {
    got = read(STDIN_FILENO, &key, 1);  // 0 at end of input: return at once
  } while (got < 0 && errno == EINTR);
  if (haveSaved) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
}

const char* RuntimeLibraryName() {
  return "libkolt8.so";
}

void* OpenLibrary(const char* name) {
  void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) NoteLibraryError();
  return library;
}

void* LibrarySymbol(void* library, const char* name) {
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) NoteLibraryError();
  return symbol;
}

void CloseLibrary(void* library) {
  if (library != nullptr) dlclose(library);
}

const LibraryError& LastLibraryError() {
  return libraryError;
}

}  // namespace platform
