// The seam between the simulated device's portable core (okvsim_device.cpp: replies, commands,
// options, the log) and the line backend of its platform (device_line_posix.cpp: a
// pseudo-terminal linked as COM<n>, or a tty; device_line_win32.cpp: a COM port). The core calls
// the Line* functions; a backend calls the core's Log and Complain.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The line options as given, before the backend has looked at them. Each platform takes its own
// and refuses the others' (LineCheck).
struct LineSettings {
  std::string ports;  // POSIX: the folder of the COM<n> link
  bool portsGiven = false;
  unsigned long com = 4;  // POSIX: the link's number
  bool comGiven = false;
  std::string tty;   // POSIX: a tty to play the device on, no link
  std::string port;  // Windows: COM<n>
};

// What one wait saw, in the order the core is to handle it.
struct LineEvent {
  enum Kind {
    kBytes,      // `data` came from the line
    kHungUp,     // the line is readable with nothing to read, or failed: a pulled adapter
    kRoom,       // the line takes bytes again
    kInput,      // `data` came from standard input
    kInputEnd,   // standard input is at its end
    kInterrupt,  // `data` names what asks the device to end (a signal, Ctrl-C, ...)
  };
  Kind kind;
  std::string data;
};

// mingw-w64's C++ runtime prints through its own C99 printf (%zu included), not the system's.
#ifdef __MINGW32__
#define OKV_LOG_FORMAT gnu_printf
#else
#define OKV_LOG_FORMAT printf
#endif

// One time-stamped log line on standard output, flushed at once.
__attribute__((format(OKV_LOG_FORMAT, 1, 2))) void Log(const char* format, ...);
// One line on standard error, "okvsim-device: <message>".
void Complain(const std::string& message);

// The backend.
// The help text's parts that differ by platform: what the device plays on, the line options, the
// unplug and plug commands, and how the device ends with its exit codes.
const char* LineHelpIntro();
const char* LineHelpOptions();
const char* LineHelpPlug();
const char* LineHelpEnding();
// Refuses options of the other platform and fills in defaults. Answers an error text for the
// caller (a usage error), empty when fine.
std::string LineCheck(LineSettings& settings);
// Opens the line, and catches what ends the device; prints the "ready" line once the line is up.
// Answers an error text, empty when done; `usage` tells whether the fault is the caller's.
std::string LineStart(const LineSettings& settings, bool& usage);
// Undoes what LineStart set up (the link, the port), at the end.
void LineStop();
bool LinePlugged();
// Hands the line what it takes now: answers the count taken (0 when it is full: wait for kRoom),
// or -1 with `error` set when the line refuses the bytes for good.
long LineWrite(const char* data, std::size_t size, std::string& error);
// The line pulled out and plugged in again. Unplug answers the line's name in `name`. Both answer
// an error text, empty when done.
std::string LineUnplug(std::string& name);
std::string LinePlug();
// Waits up to `timeoutMs` (-1: no limit) for events; the line is looked at only when `listen`,
// and for room only when `wantRoom`. Answers false with `error` set when the wait itself failed.
bool LineWait(int timeoutMs, bool listen, bool wantRoom, std::vector<LineEvent>& events,
              std::string& error);
// The wall clock for the log's time stamps.
void LineWallClock(int& hour, int& minute, int& second, int& millisecond);
