// The port argument: any command line. With exactly one argument the port is that argument read
// as atoi reads it, clamped to the signed 32-bit range and taken as unsigned 32-bit; with none or
// more than one it is 4.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Input: the arguments after the program name, each ended by a zero byte (the last one by the
  // input's end); no bytes at all is no argument.
  std::vector<std::string> arguments;
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  if (!current.empty()) arguments.push_back(current);

  std::vector<const char*> argv{"okvbridge"};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);

  std::uint32_t expected = 4;
  if (argc == 2) {
    const long long wide = std::strtoll(argv[1], nullptr, 10);
    const long long clamped = wide > INT32_MAX ? INT32_MAX : wide < INT32_MIN ? INT32_MIN : wide;
    expected = static_cast<std::uint32_t>(static_cast<std::int32_t>(clamped));
  }
  const std::uint32_t got = PortFromArguments(argc, argv.data());
  FUZZ_CHECK(got == expected, "%d arguments: port %u, expected %u", argc - 1, got, expected);
  return 0;
}
