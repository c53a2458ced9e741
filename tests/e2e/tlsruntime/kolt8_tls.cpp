// A runtime library that keeps the state of its pending request in a thread_local variable, as a
// runtime library serving several client threads may. Such a library has thread-local storage the
// loader must set up for every thread of the bridge's process: under Wine 8 loading one once
// crashed the bridge. It answers the probe "installed", accepts every submit and completes it at
// the second fetch with result code 0 and value 0, so that the bridge reads m1000 = 0 and stays
// quiet.
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#define TLS_EXPORT __declspec(dllexport)
#define TLS_CALL __cdecl
#else
#define TLS_EXPORT __attribute__((visibility("default")))
#define TLS_CALL
#endif

namespace {

constexpr std::size_t kBlockSize = 18;
constexpr std::uint16_t kFetch = 0x0B01;
constexpr std::uint16_t kNotReady = 0xFFFF;

struct Pending {
  Pending() : fetches(0) {}  // not constant: each thread's copy is built on its first use
  unsigned fetches;
};
thread_local Pending pending;

}  // namespace

extern "C" TLS_EXPORT void TLS_CALL KoltEntryPoint(void* block) {
  auto* bytes = static_cast<unsigned char*>(block);
  const std::uint16_t command = static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
  std::memset(bytes, 0, kBlockSize);  // accepted, installed, or ready with code 0 and value 0
  if (command != kFetch) {
    pending.fetches = 0;
    return;
  }
  if (++pending.fetches < 2) {
    bytes[0] = kNotReady & 0xFF;
    bytes[1] = kNotReady >> 8;
  }
}
