// The world the fuzz targets run the bridge in: the tests' virtual clock and port (fake_clock.h,
// fake_port.h: bytes arrive at given virtual times, every read is recorded) and their runtime
// (fake_runtime.h), linked into the target, installed and taking every request. Nothing touches
// the real system, so a target runs many thousands of transactions a second.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fake_clock.h"
#include "fake_port.h"

namespace fuzz_world {

struct Write {
  int type;
  int index;
  std::int32_t value;
};

// Everything back to the start: clock at 0, nothing queued, nothing recorded, an empty console,
// and the runtime connected.
void Reset();

// The writes the runtime took, in order.
const std::vector<Write>& Writes();
// What the bridge printed since Reset.
std::string Console();

}  // namespace fuzz_world
