// What the simulated runtime's tests need from the operating system: the control tool run as a
// child process with its output in files, and plain reads and writes of the state file beside the
// library's mapping. child_posix.cpp and child_win32.cpp implement it, chosen by CMake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace child {

// A started child; opaque outside the platform file.
using Handle = std::intptr_t;

// Starts `program` with `args`, its standard output and error written to the two files (created
// or emptied first), the environment inherited. False when it cannot be started.
bool Start(const std::string& program, const std::vector<std::string>& args,
           const std::string& out_path, const std::string& err_path, Handle* handle);
// Waits up to `limit_ms` for the child to end. True once it has, with its exit code (-1 when a
// signal ended it); the handle is then released. False while it still runs.
bool Wait(Handle handle, int limit_ms, int* code);
// What a user does to stop it: SIGTERM on POSIX; on Windows, Ctrl-C on its console.
void Interrupt(Handle handle);
// Ends it at once, and releases the handle.
void Kill(Handle handle);

}  // namespace child

namespace files {

int ProcessId();
void SetEnv(const char* name, const std::string& value);
// The bytes at `offset`, through the file system rather than a mapping: answers how many were
// read or written, -1 when the file cannot be opened.
long long ReadAt(const std::string& path, std::size_t offset, void* bytes, std::size_t count);
long long WriteAt(const std::string& path, std::size_t offset, const void* bytes,
                  std::size_t count);
// Creates or empties the file and writes `bytes` into it; false when it cannot.
bool Replace(const std::string& path, const std::vector<unsigned char>& bytes);
void Remove(const std::string& path);

}  // namespace files
