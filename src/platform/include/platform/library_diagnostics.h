// Why the last OpenLibrary or LibrarySymbol failed, for okvbridge-check: the bridge itself shows
// no system error.
#pragma once

namespace platform {

struct LibraryError {
  unsigned long code;  // GetLastError() on Windows; 0 on POSIX, whose dlerror gives only words
  char text[1024];     // dlerror()'s words on POSIX; empty on Windows, where the code says it
};
const LibraryError& LastLibraryError();

}  // namespace platform
