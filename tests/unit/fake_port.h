// A serial port in virtual time, linked in place of the real port access for the cycle and
// transaction tests. The device side is a script: bytes that become waiting at given virtual
// times, or replies that arrive some time after a given command is sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fake_port {

struct Chunk {
  std::uint32_t afterMs;  // delay from the command (or from now, for Arrive)
  std::string bytes;
};

// What OpenPort answers (0 unless set).
void SetOpenResult(int result);
// Port numbers OpenPort was asked for, in order.
const std::vector<std::uint32_t>& Opened();

// The next command with this letter makes `chunks` arrive, each its delay after the send.
void ReplyTo(char letter, std::vector<Chunk> chunks);
// Bytes that become waiting `afterMs` from now, whatever is sent.
void Arrive(std::uint32_t afterMs, const std::string& bytes);

const std::vector<std::uint32_t>& Polls();  // virtual times of WaitingCount calls
// Bytes not yet read, arrived or still to come.
std::size_t Pending();

}  // namespace fake_port
