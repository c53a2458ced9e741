// A serial port in virtual time, linked in place of the real port access by the cycle and
// transaction tests and by the fuzz targets. The device side is a script: bytes that become
// waiting at given virtual times, or replies that arrive some time after a given command is sent.
// It records what the bridge asked of it, so a test can check every send, poll and read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fake_port {

struct Chunk {
  std::uint32_t afterMs;  // delay from the command (or from now, for Arrive)
  std::string bytes;
};

struct Read {
  std::uint32_t asked;    // the count the bridge asked for
  std::uint32_t waiting;  // bytes that had arrived when it asked
  const char* buffer;     // where it asked them to go
  std::string got;        // what the port handed over
  std::uint32_t at;       // virtual time of the read
};

// Nothing queued, scripted or recorded; OpenPort answers 0 again.
void Reset();

// What OpenPort answers (0 unless set).
void SetOpenResult(int result);
// Port numbers OpenPort was asked for, in order.
const std::vector<std::uint32_t>& Opened();

// The next command with this letter makes `chunks` arrive, each its delay after the send.
void ReplyTo(char letter, std::vector<Chunk> chunks);
// Bytes that become waiting `afterMs` from now, whatever is sent; arrivals at the same time keep
// their order.
void Arrive(std::uint32_t afterMs, const std::string& bytes);

// Called with each line the bridge sends ("P\r"), after it is taken.
void OnSend(void (*observer)(const std::string& line));
// Virtual time of the last command sent.
std::uint32_t SendTime();

const std::vector<std::uint32_t>& Polls();  // virtual times of WaitingCount calls
const std::vector<Read>& Reads();           // every ReadWaiting call
// Bytes not yet read, arrived or still to come.
std::size_t Pending();

// A read asking for more than `capacity` bytes calls `overrun` with the count asked and hands over
// at most `capacity`. Without a limit a read hands over what was asked, up to what has arrived, so
// a bridge that asks for more than its buffer holds overruns it where the sanitizers see it.
void LimitReads(std::uint32_t capacity, void (*overrun)(std::uint32_t asked, std::uint32_t capacity));

}  // namespace fake_port
