// What okvbridge-run asks of the system: the bridge started with its output piped and no console
// of its own, ending with okvbridge-run even when that is killed outright; waiting for its output,
// its end, a stop request or a time-out; the device a port's name leads to; the one-per-port lock;
// the local time; and where files are. One file per platform, chosen by CMake.
#pragma once

#include <cstdint>
#include <string>

namespace runos {

// This program's own file, and the folder it lies in with a separator at its end.
std::string ProgramPath();
std::string ProgramFolder();

// The bridge's file name, found in ProgramFolder().
const char* BridgeFileName();

// The log file when none is given; empty for standard output.
std::string DefaultLogPath();

// What ends a line of the log and of the console.
const char* LineEnd();

// The fopen mode that appends to the log without the bridge inheriting the file: an inherited
// handle would keep Windows from renaming the file at rotation.
const char* LogFileMode();

bool IsFolder(const std::string& path);

// The local date and time to the millisecond: "2026-12-09 18:56:32.123".
std::string LocalStamp();

// Takes the lock that lets one okvbridge-run alone serve `port`, held until the process ends.
// False, with the reason, when another one holds it.
bool TakePortLock(std::uint32_t port, std::string& why);

// Console output from now on as written, with the log's own line ends (no CR added before them).
void PrepareConsole();

// From now on Ctrl-C, Ctrl-Break, a closed console window, a logoff (Windows), SIGINT, SIGTERM and
// SIGHUP (POSIX) become a stop request that Wait reports.
void CatchStopRequests();

// Called last, once the bridge is ended: on Windows a console that is being closed gives the
// program a few seconds only, which its handler spends waiting for this.
void StopDone();

// Starts `exe PORT` in `folder`, its standard input empty and both output streams on one pipe that
// Wait reads, in a group that the system ends with this program. False, with the reason, when it
// did not start.
bool StartBridge(const std::string& exe, std::uint32_t port, const std::string& folder,
                 unsigned long& pid, std::string& why);

enum class Event {
  kOutput,   // bytes from the bridge, appended to the chunk
  kEnded,    // the bridge ended and all it wrote has been read
  kStop,     // a stop request came
  kTimeout,  // nothing within the time given
};

// Waits up to `ms` for one event. Without a running bridge, only kStop or kTimeout.
Event Wait(std::uint32_t ms, std::string& chunk);

// How the ended bridge ended: its exit code (-1 for the bridge's port failure on every system),
// and in words ("exit code -1", "killed by signal 9").
long EndedCode();
std::string EndedHow();

// Ends the running bridge at once; Wait reports its end once its last output is read. Nothing
// when none runs.
void EndBridge();

// What a port's name leads to now. `held`: the bridge runs and holds the port, so that a look that
// opens the name reaches no device the bridge may want.
struct PortIdentity {
  bool present;
  std::string key;    // compared between looks: changes when the device does
  std::string shown;  // for the log
};
PortIdentity IdentifyPort(std::uint32_t port, bool held);

}  // namespace runos
