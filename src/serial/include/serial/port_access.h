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
