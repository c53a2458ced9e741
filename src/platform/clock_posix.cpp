// Tick count and sleep on POSIX: the monotonic clock in milliseconds, truncated to 32 bits so that
// it wraps like the Windows tick count and every difference is taken unsigned.
#include <cerrno>
#include <ctime>

#include "platform/platform.h"

namespace platform {

std::uint32_t TickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

void SleepMs(std::uint32_t ms) {
  timespec rest{};
  rest.tv_sec = static_cast<time_t>(ms / 1000u);
  rest.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
  // A signal cuts nanosleep short; carry on with what is left so that the cycle keeps its pace.
  while (nanosleep(&rest, &rest) == -1 && errno == EINTR) {
  }
}

}  // namespace platform
