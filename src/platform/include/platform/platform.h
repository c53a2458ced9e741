// The few operating-system services the bridge needs besides the serial port: a millisecond tick
// count, a sleep, one key press from the console, and loading the runtime library. Each platform
// implements them in a file of its own; the clock lives in a separate file so that tests can link
// a virtual one in its place.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define OKV_CDECL __cdecl
#else
#define OKV_CDECL
#endif

namespace platform {

// Milliseconds from an arbitrary start, wrapping at 2^32: compare only unsigned differences.
std::uint32_t TickCount();

// Sleeps at least `ms` milliseconds, resuming after signals.
void SleepMs(std::uint32_t ms);

// Lets console output that nobody reads any more fail quietly rather than end the process. Called
// once by the program's entry, before anything is printed.
void KeepGoingWithoutConsole();

// Lets the console show the bridge's single-byte Windows-1252 text as written, and keeps a click
// in its window from freezing the program: when standard output is a console whose output code
// page is another one, that page is set to 1252; when standard input is a console, its QuickEdit
// and insert mode are turned off. RestoreConsole, or a Ctrl-C, Ctrl-Break or the window closed,
// puts back what was replaced. Output to a pipe or a file is left as it is, byte for byte. Called
// once by a program's entry (the bridge's, and any other console program of ours that runs
// unattended).
void PrepareConsole();

// Puts back the console's output code page and input mode that PrepareConsole replaced; nothing
// otherwise.
void RestoreConsole();

// Waits for one key press on the console without echo. Returns at once when standard input is
// not a console or has reached its end, so an unattended bridge never hangs here.
void WaitForKey();

// The runtime library's plain file name on this platform, looked up by the system's usual search.
const char* RuntimeLibraryName();

// Dynamic library access; a null handle or address means failure.
void* OpenLibrary(const char* name);
void* LibrarySymbol(void* library, const char* name);
void CloseLibrary(void* library);

// Why the last OpenLibrary or LibrarySymbol failed, kept for okvbridge-check: the bridge shows no
// system error.
struct LibraryError {
  unsigned long code;  // GetLastError() on Windows; 0 on POSIX, whose dlerror gives only words
  char text[1024];     // dlerror()'s words on POSIX; empty on Windows, where the code says it
};
const LibraryError& LastLibraryError();

}  // namespace platform
