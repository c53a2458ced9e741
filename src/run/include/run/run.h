// okvbridge-run's portable core: its command line, the splitting of the bridge's output into
// messages, the log with its rotation, and the supervision (restart with back-off, the restart
// after a replug at a moment that cuts no transaction).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace okvrun {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Options {
  bool help = false;
  bool version = false;
  bool minimized = false;  // the logon task's start: the console window goes to the task bar
  bool installTask = false;
  bool removeTask = false;
  std::uint32_t port = 4;
  std::string runtimeDir;  // empty: the current folder
  std::string log;         // empty: the platform's default
  bool logGiven = false;
  std::uint64_t logSize = 10u * 1024u * 1024u;
  std::uint32_t logFiles = 10;
};

// Empty when the arguments make sense, else the reason in one line.
std::string ParseOptions(int argc, char** argv, Options& options);
void PrintHelp();

// --- the bridge's messages -------------------------------------------------------------------

// Cuts the bridge's output into its messages. Every message but a reply ends in a line feed; a
// reply is "[" text "]" with none after it, and its text may hold anything, brackets and line
// feeds included. A reply therefore ends at the first "]" that a whole message of the bridge's
// own follows (what it prints straight after a reply: a failed result write), or, once the pipe
// has been quiet for kReplyQuietMs, at the "]" that the bytes end with.
struct Splitter {
  std::string pending;  // bytes not yet taken as a message
  std::string stamp;    // when the first of them came
  std::uint32_t lastByteMs = 0;
};

struct Message {
  std::string stamp;  // when its first byte came
  std::string bytes;  // as the bridge wrote them, line end included
};

constexpr std::uint32_t kReplyQuietMs = 200;
// Bytes that form no message (a message cut by the bridge's end, a write split oddly) are logged
// as they are after this long.
constexpr std::uint32_t kStaleMs = 5000;

// Adds a chunk read at `nowMs`, stamped `stamp`; answers the messages now complete.
std::vector<Message> Feed(Splitter& splitter, const std::string& chunk, const std::string& stamp,
                          std::uint32_t nowMs);
// Answers the messages that the pipe's silence since the last byte completes; with `ended`
// (the bridge is gone) whatever is left is one last message.
std::vector<Message> Settle(Splitter& splitter, std::uint32_t nowMs, bool ended);
// How long from `nowMs` Settle may have something to do; UINT32_MAX when nothing is pending.
std::uint32_t SettleDueIn(const Splitter& splitter, std::uint32_t nowMs);

// A message of the bridge without its line end.
std::string Bare(const std::string& message);
bool IsReply(const std::string& message);
// A whole line that the bridge prints (line end included), as opposed to device text.
bool IsBridgeLine(const std::string& line);

// --- the log ---------------------------------------------------------------------------------

// Opens the log (`path` empty: standard output) with its rotation. Answers "" or why the file
// cannot be written for now (the lines then go to the console until it can).
std::string OpenLog(const std::string& path, std::uint64_t size, std::uint32_t files);
// One line of the bridge's, stamped when it came.
void LogBridge(const std::string& stamp, const std::string& message);
// One line of okvbridge-run's own, stamped now.
void LogOwn(const std::string& text);
void CloseLog();

// --- supervision -----------------------------------------------------------------------------

// Back-off before the next start: 2 s after the first quick end, doubling up to a minute; back to
// the start once the bridge has run kSteadyMs.
constexpr std::uint32_t kFirstBackOffMs = 2000;
constexpr std::uint32_t kLongestBackOffMs = 60000;
constexpr std::uint32_t kSteadyMs = 60000;
std::uint32_t NextBackOff(std::uint32_t previousMs, std::uint32_t ranMs);

// Follows the bridge's messages to tell when it may be ended without cutting a transaction.
struct Moment {
  bool afterTimeout = false;  // "Com timeout" was the last message
};
// True when the bridge may be ended right after `message` and leave no exchange half done: the
// mailbox already holds a result, and the next exchange is a second away at least.
bool SafeAfter(Moment& moment, const std::string& message);

// Runs the bridge for good; answers the exit code.
int Supervise(const Options& options);

}  // namespace okvrun
