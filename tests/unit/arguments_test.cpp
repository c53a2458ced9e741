// The command line and the atoi-style number reader shared by the port argument and the R reply.
#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "bridge/bridge.h"
#include "case_names.h"

namespace {

struct PortCase {
  std::vector<const char*> arguments;  // after the program name
  std::uint32_t port;
};

class PortArgument : public testing::TestWithParam<PortCase> {};

TEST_P(PortArgument, SettlesThePortNumber) {
  std::vector<const char*> argv{"okvbridge"};
  argv.insert(argv.end(), GetParam().arguments.begin(), GetParam().arguments.end());
  const int argc = static_cast<int>(argv.size());
  argv.push_back(nullptr);
  EXPECT_EQ(PortFromArguments(argc, argv.data()), GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(CommandLine, PortArgument,
                         testing::Values(PortCase{{}, 4}, PortCase{{"7"}, 7},
                                         PortCase{{"7", "8"}, 4}, PortCase{{"7", "8", "9"}, 4},
                                         PortCase{{"abc"}, 0}, PortCase{{""}, 0},
                                         PortCase{{"-1"}, 4294967295u}, PortCase{{"  +12xyz"}, 12},
                                         PortCase{{"0x10"}, 0}, PortCase{{"12 13"}, 12},
                                         PortCase{{"2147483647"}, 2147483647u},
                                         PortCase{{"4294967296"}, 2147483647u},
                                         PortCase{{"-2147483648"}, 2147483648u},
                                         PortCase{{"-99999999999"}, 2147483648u}),
                         NamedBy<PortCase>([](const PortCase& c) {
                           std::string text;
                           for (const char* argument : c.arguments)
                             text += std::string(argument) + " ";
                           return text;
                         }));

TEST(PortArgumentCount, NoArgumentVectorAtAllGivesTheDefault) {
  const char* argv[] = {nullptr};
  EXPECT_EQ(PortFromArguments(0, argv), 4u);
}

struct AtoiCase {
  const char* text;
  std::int32_t value;
};

class Atoi : public testing::TestWithParam<AtoiCase> {};

TEST_P(Atoi, ReadsAsAtoiDoesWithTheRangeClamped) {
  EXPECT_EQ(AtoiValue(GetParam().text), GetParam().value) << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Atoi,
    testing::Values(AtoiCase{"123", 123}, AtoiCase{"-5", -5}, AtoiCase{"+5", 5}, AtoiCase{"", 0},
                    AtoiCase{"-", 0}, AtoiCase{"+-5", 0}, AtoiCase{"- 5", 0}, AtoiCase{"x12", 0},
                    // every white space atoi skips, and one it does not
                    AtoiCase{" \t\n\v\f\r42", 42}, AtoiCase{"\b42", 0}, AtoiCase{"42abc", 42},
                    AtoiCase{"007", 7}, AtoiCase{"00000000000000000000000042", 42},
                    AtoiCase{"2147483647", INT32_MAX}, AtoiCase{"2147483648", INT32_MAX},
                    AtoiCase{"-2147483648", INT32_MIN}, AtoiCase{"-2147483649", INT32_MIN},
                    AtoiCase{"99999999999999999999999999", INT32_MAX},
                    AtoiCase{"-99999999999999999999999999", INT32_MIN}),
    NamedBy<AtoiCase>([](const AtoiCase& c) { return std::string(c.text); }));

}  // namespace
