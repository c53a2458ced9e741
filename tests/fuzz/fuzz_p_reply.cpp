// The P classification: any bytes up to 4096. "Turning On" anywhere in the text gives 4; else
// "Sleep" gives 3; else 5. Case matters, and the text ends at its first zero byte.
#include <cstring>
#include <string>

#include "bridge/bridge.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::string text = bytes.substr(0, bytes.find('\0'));
  const int expected = text.find("Turning On") != std::string::npos ? 4
                       : text.find("Sleep") != std::string::npos    ? 3
                                                                    : 5;
  const int got = ClassifyPReply(bytes.c_str());
  FUZZ_CHECK(got == expected, "classified %d, expected %d", got, expected);
  return 0;
}
