// The operating-system services the simulated runtime needs, implemented once per platform so that
// the shared code has no #ifdef of its own (the export macros in kolt8_export.h aside).
// sim_state_posix.cpp (sim_state_win32.cpp on Windows) maps the state file shared, under a lock so
// that one process alone lays it out, and holds its default location, the monotonic clock (in
// milliseconds and in microseconds), the wall clock and the sleep; it goes into okvsim_state, which
// the library and the control tool both link. sim_stop_posix.cpp (sim_stop_win32.cpp) holds the
// interrupt that stops the control tool and is linked into the tool alone, so the library brings
// no signal or console handler into the process that loads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace simos {

// What the shared code decides about a state file, asked with the file locked against other
// processes so that exactly one of them lays out a fresh file.
struct Layout {
  std::size_t size;
  // Before anything is written: whether a file of `found` bytes may be used. An empty file is then
  // sized to `size`; a file of any other size must be refused here, since sizing it would destroy
  // what it holds. False with `why` set refuses it.
  bool (*accept_size)(std::uint64_t found, std::string* why);
  // On the mapping of the whole file: lays out a fresh file, or answers false with `why` set for
  // a file that is not one of ours (then nothing has been written).
  bool (*prepare)(unsigned char* base, std::string* why);
};

// Opens or creates the file at `path`, maps it shared read-write and lets `layout` check it (and
// lay it out) under the lock. Answers the mapping, or null with `why` set: the system's reason
// when a step fails, or the layout's when it refuses the file.
unsigned char* MapSharedFile(const char* path, const Layout& layout, std::string* why);

// "kolt8-sim.state" in the temporary folder.
std::string DefaultStatePath();

// Milliseconds from an arbitrary start, wrapping at 2^32: compare unsigned differences only.
std::uint32_t MonotonicMillis();

// Microseconds from an arbitrary start, on the same clock as MonotonicMillis.
std::uint64_t MonotonicMicros();

// Wall-clock microseconds since the Unix epoch, comparable across processes.
std::uint64_t WallClockMicros();

void SleepMillis(std::uint32_t ms);

// For the control tool only. From the call on, an interrupt (Ctrl-C; on POSIX also SIGTERM, on
// Windows also Ctrl-Break and closing the console) no longer ends the process but makes
// StopRequested answer true, so that a long-running command ends at its next look.
void CatchStop();
bool StopRequested();

}  // namespace simos
