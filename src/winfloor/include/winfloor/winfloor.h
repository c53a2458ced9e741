// What a Windows program of ours may ask of Windows beyond the oldest version it runs on (XP SP3,
// or XP x64 / Server 2003 SP2): each newer function is looked up in KERNEL32 at run time and, where
// Windows lacks it, made from what that Windows has. Nothing here is ever imported, so every
// program starts on the old systems and behaves on the new ones as it would have with the import.
// Windows builds only; every .exe and .dll of the build links it (see cmake/windows_floor.cmake).
#pragma once

#include <cstdint>

namespace winfloor {

// Answers a KERNEL32 function by name, or nullptr where this Windows has none.
using Lookup = void* (*)(const char* name);
// A 32-bit millisecond tick that wraps every 49.7 days, as GetTickCount.
using Tick32 = std::uint32_t (*)();

// Milliseconds since Windows started, never wrapping: GetTickCount64 where Windows has it,
// otherwise GetTickCount extended with a count of its wraps.
std::uint64_t TickCount64();

// The wall clock in 100 ns units since 1601-01-01 (a FILETIME): to the microsecond where Windows
// has GetSystemTimePreciseAsFileTime (8 and later), otherwise in the system tick's steps.
std::uint64_t SystemTimeAsFileTime();

// For tests: what the functions above look up, and the 32-bit tick the fallback extends. nullptr
// puts back the system's own. Forgets every earlier lookup and the fallback's wrap count.
void UseForTests(Lookup lookup, Tick32 tick);

// Extends one 32-bit tick `now` against the 64-bit tick last given out, `last`: answers the 64-bit
// tick of `now`. A `now` behind `last` by less than half the wrap is a read that lost a race with
// another thread, not a wrap. Exposed for the tests of the 49.7-day wrap.
std::uint64_t ExtendTick(std::uint64_t last, std::uint32_t now);

}  // namespace winfloor
