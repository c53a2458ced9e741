// The virtual clock behind platform::TickCount and platform::SleepMs in the unit tests and the
// fuzz targets.
#include "fake_clock.h"

#include "platform/platform.h"

namespace {

constexpr std::uint64_t kDefaultBudgetMs = 24ull * 3600 * 1000;

std::uint32_t now = 0;
std::uint32_t autoAdvance = 0;
std::uint64_t spent = 0;  // virtual ms passed since the budget was set
std::uint64_t budget = kDefaultBudgetMs;
std::vector<fake_clock::Sleep> sleeps;

void Move(std::uint32_t ms) {
  now += ms;  // wraps at 2^32 like the real tick count
  spent += ms;
}

}  // namespace

namespace fake_clock {

std::uint32_t Now() {
  return now;
}

void Reset(std::uint32_t start) {
  now = start;
  autoAdvance = 0;
  spent = 0;
  budget = kDefaultBudgetMs;
  sleeps.clear();
}

void Advance(std::uint32_t ms) {
  Move(ms);
}

void SetAutoAdvance(std::uint32_t ms) {
  autoAdvance = ms;
}

void SetBudget(std::uint64_t ms) {
  spent = 0;
  budget = ms;
}

const std::vector<Sleep>& Sleeps() {
  return sleeps;
}

std::vector<std::uint32_t> SleepLengths() {
  std::vector<std::uint32_t> lengths;
  for (const Sleep& sleep : sleeps) lengths.push_back(sleep.ms);
  return lengths;
}

}  // namespace fake_clock

namespace platform {

std::uint32_t TickCount() {
  if (spent > budget) throw fake_clock::BudgetSpent{};
  const std::uint32_t reading = now;
  Move(autoAdvance);
  return reading;
}

void SleepMs(std::uint32_t ms) {
  if (spent + ms > budget) throw fake_clock::BudgetSpent{};
  sleeps.push_back({now, ms});
  Move(ms);
}

}  // namespace platform
