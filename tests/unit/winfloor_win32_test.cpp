// The functions newer than the oldest Windows we run on: the path a Windows without them takes
// (here under Wine, which has them all, by a lookup that finds nothing) and the path a newer one
// takes, each with a tick the test plays.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "winfloor/winfloor.h"

// The import pointer winpthreads calls GetTickCount64 through; the floor object provides it.
#if defined(_WIN64)
extern "C" ULONGLONG(WINAPI* tickSlot)() __asm__("__imp_GetTickCount64");
#else
extern "C" ULONGLONG(WINAPI* tickSlot)() __asm__("__imp__GetTickCount64@0");
#endif

namespace {

std::uint32_t playedTick = 0;
std::vector<std::string> askedFor;

std::uint32_t PlayedTick() {
  return playedTick;
}

void* NothingFound(const char* name) {
  askedFor.push_back(name);
  return nullptr;
}

constexpr std::uint64_t kPreciseAnswer = 0x01DC0123456789ABull;
void WINAPI PlayedPreciseTime(LPFILETIME now) {
  now->dwHighDateTime = static_cast<DWORD>(kPreciseAnswer >> 32);
  now->dwLowDateTime = static_cast<DWORD>(kPreciseAnswer);
}
ULONGLONG WINAPI PlayedTick64() {
  return 0x123456789ull;
}

void* NewerWindows(const char* name) {
  askedFor.push_back(name);
  if (std::strcmp(name, "GetSystemTimePreciseAsFileTime") == 0) {
    return reinterpret_cast<void*>(&PlayedPreciseTime);
  }
  if (std::strcmp(name, "GetTickCount64") == 0) return reinterpret_cast<void*>(&PlayedTick64);
  return nullptr;
}

std::uint64_t FileTimeNow() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

class WindowsFloor : public ::testing::Test {
 protected:
  void SetUp() override { askedFor.clear(); }
  void TearDown() override { winfloor::UseForTests(nullptr, nullptr); }
};

TEST_F(WindowsFloor, OldWindowsTickCountsTheWrapsOfTheThirtyTwoBitTick) {
  winfloor::UseForTests(NothingFound, PlayedTick);
  playedTick = 0xFFFFFF00u;
  EXPECT_EQ(winfloor::TickCount64(), 0xFFFFFF00ull);
  playedTick = 0x00000100u;  // 512 ms later, past the wrap
  EXPECT_EQ(winfloor::TickCount64(), 0x100000100ull);
  playedTick = 0x80000000u;
  EXPECT_EQ(winfloor::TickCount64(), 0x180000000ull);
  playedTick = 0xFFFFFFF0u;
  EXPECT_EQ(winfloor::TickCount64(), 0x1FFFFFFF0ull);
  playedTick = 0x00000010u;  // the second wrap
  EXPECT_EQ(winfloor::TickCount64(), 0x200000010ull);
  EXPECT_EQ(askedFor, std::vector<std::string>{"GetTickCount64"});  // looked up once
}

TEST_F(WindowsFloor, OldWindowsTickTakesAReadThatLostARaceAsEarlierNotAsAWrap) {
  EXPECT_EQ(winfloor::ExtendTick(0x100000010ull, 0x00000008u), 0x100000008ull);
  EXPECT_EQ(winfloor::ExtendTick(0x100000010ull, 0xFFFFFFF8u), 0x0FFFFFFF8ull);
  // Forward by up to half a turn is time passing, whatever the low word does.
  EXPECT_EQ(winfloor::ExtendTick(0x1FFFFFFF0ull, 0x7FFFFFEFu), 0x27FFFFFEFull);
  // The first read of a machine up for 30 days is taken as it is.
  EXPECT_EQ(winfloor::ExtendTick(0, 0x9A7EC800u), 0x9A7EC800ull);
}

// Callers compiled for the DLL import (winpthreads) reach the same tick through the import slot.
TEST_F(WindowsFloor, ImportSlotOfGetTickCount64IsOurs) {
  winfloor::UseForTests(NothingFound, PlayedTick);
  playedTick = 0xFFFFFFF0u;
  EXPECT_EQ(tickSlot(), 0xFFFFFFF0ull);
  playedTick = 0x20u;
  EXPECT_EQ(tickSlot(), 0x100000020ull);
  winfloor::UseForTests(NewerWindows, nullptr);
  EXPECT_EQ(tickSlot(), 0x123456789ull);
}

TEST_F(WindowsFloor, NewerWindowsGivesTheTickAndThePreciseClockOfItsOwn) {
  winfloor::UseForTests(NewerWindows, nullptr);
  EXPECT_EQ(winfloor::TickCount64(), 0x123456789ull);
  EXPECT_EQ(winfloor::SystemTimeAsFileTime(), kPreciseAnswer);
}

TEST_F(WindowsFloor, OldWindowsClockIsTheSystemTime) {
  winfloor::UseForTests(NothingFound, nullptr);
  const std::uint64_t before = FileTimeNow();
  const std::uint64_t now = winfloor::SystemTimeAsFileTime();
  const std::uint64_t after = FileTimeNow();
  EXPECT_LE(before, now);
  EXPECT_LE(now, after);
  EXPECT_EQ(askedFor, std::vector<std::string>{"GetSystemTimePreciseAsFileTime"});
}

// Under Wine, as on every Windows from 8 on, the real lookup finds both functions.
TEST_F(WindowsFloor, RealLookupFindsWhatThisWindowsHas) {
  const std::uint64_t wall = winfloor::SystemTimeAsFileTime();
  EXPECT_NEAR(static_cast<double>(wall), static_cast<double>(FileTimeNow()), 1e7);
  const std::uint64_t tick = winfloor::TickCount64();
  EXPECT_LT(GetTickCount() - static_cast<std::uint32_t>(tick), 1000u);
}

}  // namespace
