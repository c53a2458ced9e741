// POSIX side of the simulated runtime: the state file mapped with mmap and locked with flock while
// it is laid out, the temporary folder from TMPDIR, and the clocks.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_os.h"

namespace simos {

namespace {

// The system's reason for the call that failed last, and which call it was.
std::string SystemReason(const char* what) {
  return std::string(what) + ": " + std::strerror(errno) + " (error " + std::to_string(errno) + ")";
}

}  // namespace

unsigned char* MapSharedFile(const char* path, const Layout& layout, std::string* why) {
  // 0666 leaves it to the umask who else may change the simulated runtime.
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    // The file itself is made when missing: only its folder can be.
    *why = SystemReason(errno == ENOENT ? "its folder does not exist" : "cannot open it");
    return nullptr;
  }
  void* base = MAP_FAILED;
  struct stat st;
  // The lock makes creation and sizing one step for whichever process comes first; the others
  // wait here and then find the file laid out.
  if (flock(fd, LOCK_EX) != 0) {
    *why = SystemReason("cannot lock it");
  } else if (fstat(fd, &st) != 0) {
    *why = SystemReason("cannot read its size");
  } else if (!layout.accept_size(static_cast<std::uint64_t>(st.st_size), why)) {
    // Refused before anything is written.
  } else if (st.st_size == 0 && ftruncate(fd, static_cast<off_t>(layout.size)) != 0) {
    *why = SystemReason("cannot size it");
  } else {
    base = mmap(nullptr, layout.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
      *why = SystemReason("cannot map it");
    } else if (!layout.prepare(static_cast<unsigned char*>(base), why)) {
      munmap(base, layout.size);
      base = MAP_FAILED;
    }
  }
  // Unlocked explicitly: the mapping keeps the open file alive after close, and with it a flock
  // lock, which would hang every other process for as long as this one runs.
  flock(fd, LOCK_UN);
  close(fd);
  return base == MAP_FAILED ? nullptr : static_cast<unsigned char*>(base);
}

std::string DefaultStatePath() {
  const char* dir = std::getenv("TMPDIR");
  std::string folder = (dir != nullptr && dir[0] != '\0') ? dir : "/tmp";
  if (folder.back() != '/') folder += '/';
  return folder + "kolt8-sim.state";
}

std::uint64_t MonotonicMicros() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

std::uint32_t MonotonicMillis() {
  return static_cast<std::uint32_t>(MonotonicMicros() / 1000u);
}

std::uint64_t WallClockMicros() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

void SleepMillis(std::uint32_t ms) {
  struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  // Resumed after a signal: the tool's loops sleep a few milliseconds at a time and look at their
  // stop flag between sleeps, so a Ctrl-C is still seen at once.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace simos
