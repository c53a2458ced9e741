// The R number: any bytes up to 4096 read the way atoi reads them, with the value clamped to the
// signed 32-bit range. The reference here is the C library's strtoll, clamped.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>

#include "bridge/bridge.h"
#include "fuzz_check.h"

namespace {

std::int32_t Reference(const char* text) {
  // strtoll skips exactly atoi's white space in the C locale and saturates at the 64-bit range,
  // which lies beyond the 32-bit one on both sides.
  errno = 0;
  const long long wide = std::strtoll(text, nullptr, 10);
  if (wide > INT32_MAX) return INT32_MAX;
  if (wide < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(wide);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::int32_t got = AtoiValue(text.c_str());
  const std::int32_t expected = Reference(text.c_str());
  FUZZ_CHECK(got == expected, "read %d, expected %d", got, expected);
  return 0;
}
