// A virtual clock for the unit tests and the fuzz targets, linked in place of the platform clock:
// the tick count moves only when the code under test sleeps (or by a set amount per reading), so
// minutes of bridge time run in microseconds and every wait can be checked to the millisecond.
#pragma once

#include <cstdint>
#include <vector>

namespace fake_clock {

struct Sleep {
  std::uint32_t at;  // tick count when the sleep began
  std::uint32_t ms;
};

// Thrown from SleepMs or TickCount once the virtual time budget is spent: it is how a test ends
// the bridge's endless loop, and it keeps a wait that never ends from hanging the test run.
struct BudgetSpent {};

// The tick count, without moving it.
std::uint32_t Now();
// Starts the clock afresh at `start` (a start near 2^32 checks that waits survive the wrap).
void Reset(std::uint32_t start);
void Advance(std::uint32_t ms);
// Every TickCount() reading moves the clock on by `ms` after it is taken, so that a loop polling
// the tick count without sleeping still sees time pass.
void SetAutoAdvance(std::uint32_t ms);
// Virtual milliseconds that may pass from now before BudgetSpent is thrown; a sleep that would
// cross the limit throws before it sleeps.
void SetBudget(std::uint64_t ms);

const std::vector<Sleep>& Sleeps();
// The sleep lengths alone, in order.
std::vector<std::uint32_t> SleepLengths();

}  // namespace fake_clock
