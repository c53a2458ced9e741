// The bridge program: its entry, the once-a-second cycle that follows the runtime's connection and
// executor and reads the mailbox word m1000, and the P and R device transactions that answer it;
// with them the command line it is started with and the console it writes to. The cycle is in
// bridge.cpp, the transactions in transactions.cpp, the command line in arguments.cpp and the
// console in console.cpp.
#pragma once

#include <cstdint>
#include <cstdio>

// Runs the bridge: banner, port, then the cycle for ever. Returns -1 only when the port cannot be
// opened (after the message and the key press).
int BridgeMain(int argc, const char* const* argv);

// The port number the command line asks for: the one argument read as atoi reads it, taken as
// unsigned 32-bit; 4 with no argument or with more than one.
std::uint32_t PortFromArguments(int argc, const char* const* argv);

// atoi's reading of a decimal text (white space, sign, digits), defined for every input: a value
// beyond the signed 32-bit range is clamped to INT32_MIN or INT32_MAX.
std::int32_t AtoiValue(const char* text);

// One iteration of the cycle, sleeps included.
void BridgeIteration();

// The device transactions, started by the mailbox codes 1 and 6.
void RunPTransaction();
void RunRTransaction();

// Mailbox result of a P reply: 4 for "Turning On", else 3 for "Sleep", else 5.
int ClassifyPReply(const char* reply);

// Of an R reply: 8 when its second byte is a decimal digit, else 9; and the number for l1000, read
// from the second byte on. `reply` is the reply buffer, whose second byte always exists.
int ClassifyRReply(const char* reply);
std::int32_t RReplyNumber(const char* reply);

// The device side of a transaction, on its own for okvbridge-check, which must wait and read just
// as the transactions do. `command` is 'P' or 'R'.
void SendCommand(char command);
// Polls for the reply at the command's interval (`pause` sleeps between two polls) until bytes
// wait or 5000 ms have passed; false on the time-out.
bool AwaitReply(char command, void (*pause)(std::uint32_t ms));
// Zeroes the reply buffer and reads what waits into it, at most 1023 bytes so that the text stays
// zero-terminated; answers the count asked for. The reply is ReplyText() until the next read.
std::uint32_t TakeReply();
const char* ReplyText();

// Every console message goes through here: formatted, then flushed at once so that output piped
// to a file or a service wrapper is complete and timely even when the bridge is killed.
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Where console messages go; standard output unless a test redirects them.
void SetConsole(std::FILE* stream);
