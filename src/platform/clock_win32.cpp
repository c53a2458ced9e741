// Tick count and sleep on Windows: the system's millisecond tick count, which wraps after about
// 49.7 days (every difference is taken unsigned), and a plain Sleep.
#include <windows.h>

#include "platform/platform.h"

namespace platform {

std::uint32_t TickCount() {
  return static_cast<std::uint32_t>(GetTickCount());
}

void SleepMs(std::uint32_t ms) {
  Sleep(static_cast<DWORD>(ms));
}

}  // namespace platform
