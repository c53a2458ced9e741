// The command line and the atoi-style number reader: the port number comes from it, and the
// R reply's number is read the same way.
#include <climits>

#include "bridge/bridge.h"

namespace {

constexpr std::uint32_t kDefaultPort = 4;

bool IsAtoiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::int32_t AtoiValue(const char* text) {
  const char* c = text;
  while (IsAtoiSpace(*c)) ++c;
  bool negative = false;
  if (*c == '+' || *c == '-') {
    negative = *c == '-';
    ++c;
  }
  // Accumulated as a magnitude in 64 bits and clamped once it leaves the int32 range, so that
  // any digit run has a defined value (the clamp is what the Windows C library's atoi gives).
  const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT32_MIN) : INT32_MAX;
  std::int64_t magnitude = 0;
  for (; *c >= '0' && *c <= '9'; ++c) {
    magnitude = magnitude * 10 + (*c - '0');
    if (magnitude > limit) magnitude = limit;
  }
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

std::uint32_t PortFromArguments(int argc, const char* const* argv) {
  if (argc != 2) return kDefaultPort;
  return static_cast<std::uint32_t>(AtoiValue(argv[1]));
}
