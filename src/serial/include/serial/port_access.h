// The one serial port of the bridge: open by number at 9600 8N1 without flow control, a receive
// watcher thread while it is open, and the three transfers the device transactions use. Nothing
// here prints; callers report.
#pragma once

#include <cstdint>

// Opens the port numbered `portNumber` (COM<n>) and starts its receive watcher.
// Answers 0 on success, -1 when the port cannot be opened or set up; nothing is held then.
int OpenPort(std::uint32_t portNumber);

// Ends the watcher (and waits until it has ended), then closes the port. Safe to call again.
void ClosePort();

// Writes the two bytes of a command (letter and line feed) and waits until they are sent.
// A failed write is not reported.
void SendLine(const char command[2]);

// Bytes waiting in the receive queue; 0 when the port's status cannot be read.
std::uint32_t WaitingCount();

// Reads up to `count` waiting bytes into `buffer` (which must hold `count` bytes).
// Answers 0 when bytes were read, -1 when none were waiting or none could be read; with
// nothing waiting the buffer is left untouched.
int ReadWaiting(char* buffer, std::uint32_t count);

// --- for okvbridge-check -----------------------------------------------------------------------
// The bridge shows no system error; its diagnostics tool asks these why an OpenPort failed and
// which device it reached, and has the line left as it found it.

// Where an OpenPort stopped.
enum class PortStep : std::uint8_t {
  kNone,      // it succeeded
  kName,      // the number names no device here
  kOpen,      // the device did not open
  kLock,      // another program holds it (POSIX: found before opening, where it can)
  kSettings,  // the driver refused the line settings
  kWatcher,   // the receive watcher could not be started
};

struct PortOpening {
  PortStep failedStep;
  int error;          // errno or GetLastError() of the failed step; 0 when the system gave none
  char device[4096];  // the device of the last attempt: its path on POSIX, its name on Windows
};

// What the last OpenPort did.
const PortOpening& LastPortOpening();

// From the next OpenPort on, the line is noted as it was found (its settings, DTR and RTS, and on
// POSIX whether it was exclusive) before the bridge's settings are applied; RestoreLineSettings,
// before ClosePort, puts it back so. A failed OpenPort puts it back by itself.
void KeepLineSettings();
void RestoreLineSettings();
