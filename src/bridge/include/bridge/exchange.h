// The device side of a transaction on its own, for okvbridge-check, which must wait and read just
// as the transactions do (transactions.cpp). `command` is 'P' or 'R'.
#pragma once

#include <cstdint>

void SendCommand(char command);

// Polls for the reply at the command's interval (`pause` sleeps between two polls) until bytes
// wait or 5000 ms have passed; false on the time-out.
bool AwaitReply(char command, void (*pause)(std::uint32_t ms));

// Zeroes the reply buffer and reads what waits into it, at most 1023 bytes so that the text stays
// zero-terminated; answers the count asked for. The reply is ReplyText() until the next read.
std::uint32_t TakeReply();
const char* ReplyText();
