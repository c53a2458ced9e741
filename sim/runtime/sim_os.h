// The operating-system services the simulated runtime needs: a shared mapping of the state file,
// its default location, two clocks and a sleep. One file per platform implements them
// (sim_state_posix.cpp here; a Windows one can take its place), so nothing else needs an #ifdef.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace simos {

// Called with the state file locked against other processes, so that exactly one of them
// lays out a fresh file. `base` is the mapping of the whole file.
using PrepareFn = void (*)(unsigned char* base);

// Opens or creates the file at `path`, sizes it to `size` bytes, maps it shared read-write and
// calls `prepare` under the lock. Answers the mapping, or null when any step fails.
unsigned char* MapSharedFile(const char* path, std::size_t size, PrepareFn prepare);

// "kolt8-sim.state" in the temporary folder.
std::string DefaultStatePath();

// Milliseconds from an arbitrary start, wrapping at 2^32: compare unsigned differences only.
std::uint32_t MonotonicMillis();

// Microseconds from an arbitrary start, on the same clock as MonotonicMillis.
std::uint64_t MonotonicMicros();

// Wall-clock microseconds since the Unix epoch, comparable across processes.
std::uint64_t WallClockMicros();

void SleepMillis(std::uint32_t ms);

}  // namespace simos
