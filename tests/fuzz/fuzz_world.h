// The world the fuzz targets run the bridge in: a virtual clock, a serial port whose bytes arrive
// at given virtual times, and a runtime entry point linked into the target that accepts and
// completes every request at once and records every write. Nothing touches the real system, so a
// target runs many thousands of transactions a second.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fuzz_world {

struct Write {
  int type;
  int index;
  std::int32_t value;
};

struct Read {
  std::uint32_t asked;    // the count the bridge asked for
  std::uint32_t waiting;  // bytes that had arrived when it asked
  const char* buffer;     // where it asked them to go
  std::string got;        // what the port handed over
  std::uint32_t at;       // virtual time of the read
};

// Everything back to the start: clock at 0, nothing queued, nothing recorded, an empty console,
// and the runtime connected.
void Reset();

std::uint32_t Now();
// `bytes` arrive `atMs` after the start; arrivals at the same time keep their order.
void Queue(std::uint32_t atMs, const std::string& bytes);
// Bytes queued and not read yet, arrived or not.
std::size_t Pending();

std::uint32_t SendTime();  // when the last command was sent
const std::vector<Write>& Writes();
const std::vector<Read>& Reads();
// What the bridge printed since Reset.
std::string Console();

}  // namespace fuzz_world
