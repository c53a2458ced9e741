// The bridge's output cut into messages however the pipe hands it over, and the moments at which
// the bridge may be restarted without cutting an exchange.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/run.h"

namespace {

using okvrun::Message;

// A chunk of the pipe and the time it came, in ms.
struct Piece {
  std::uint32_t atMs;
  std::string bytes;
};

struct SplitCase {
  const char* name;
  std::vector<Piece> pieces;
  std::uint32_t settleAtMs;  // the silence looked at last
  std::vector<std::string> messages;
};

std::vector<std::string> Split(const SplitCase& c) {
  okvrun::Splitter splitter;
  std::vector<std::string> got;
  const auto keep = [&got](const std::vector<Message>& messages) {
    for (const Message& message : messages) got.push_back(message.bytes);
  };
  for (const Piece& piece : c.pieces) {
    keep(okvrun::Settle(splitter, piece.atMs, false));
    keep(okvrun::Feed(splitter, piece.bytes, "stamp", piece.atMs));
  }
  keep(okvrun::Settle(splitter, c.settleAtMs, false));
  return got;
}

class SplitterTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitterTest, MessagesAsTheBridgeWroteThem) {
  EXPECT_EQ(Split(GetParam()), GetParam().messages);
}

const std::string kWriteError =
    "Erreur 1234 \xE0 l'\xE9"
    "criture de l1000\r\n";

INSTANTIATE_TEST_SUITE_P(
    Pipe, SplitterTest,
    testing::Values(
        // The failed result write follows the reply at once: one read may hold both.
        SplitCase{"ReplyAndWriteErrorInOneRead",
                  {{0, "[A123]" + kWriteError}},
                  0,
                  {"[A123]", kWriteError}},
        // A reply is over only once the pipe is quiet: a "]" at a read's end may be the reply's.
        SplitCase{"ReplyCutAfterABracket", {{0, "[ab]"}, {50, "cd]"}}, 400, {"[ab]cd]"}},
        SplitCase{"ReplyNotOverBeforeTheQuiet", {{0, "[ab]"}}, 150, {}},
        // Brackets and line feeds inside a reply that no message of the bridge's follows.
        SplitCase{"ReplyWithBracketAndLineFeed", {{0, "[On]x\n[y]"}}, 300, {"[On]x\n[y]"}},
        SplitCase{
            "LinesAndAPartOne",
            {{0, "Connexion a Corvalen...\nConnexion effectuee\nExecut"}, {10, "eur installe\n"}},
            10,
            {"Connexion a Corvalen...\n", "Connexion effectuee\n", "Executeur installe\n"}},
        // Bytes that never make a message are logged after a while rather than held for ever.
        SplitCase{"StaleBytes", {{0, "Communic"}}, okvrun::kStaleMs, {"Communic"}}),
    [](const testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

struct MomentCase {
  const char* name;
  std::vector<std::string> messages;
  bool safeAfterLast;
};

class MomentTest : public testing::TestWithParam<MomentCase> {};

TEST_P(MomentTest, RestartOnlyWithAResultPosted) {
  okvrun::Moment moment;
  bool safe = false;
  for (const std::string& message : GetParam().messages) safe = okvrun::SafeAfter(moment, message);
  EXPECT_EQ(safe, GetParam().safeAfterLast);
}

INSTANTIATE_TEST_SUITE_P(
    Bridge, MomentTest,
    testing::Values(
        // The time-out code is written before the reply is printed.
        MomentCase{"ReplyAfterTimeout", {"Com timeout\n", "[]"}, true},
        // A reply that came in time: its result is written after it is printed.
        MomentCase{"ReplyInTime", {"[Turning On]"}, false},
        // The time-out code's write failed: the result is still to be written.
        MomentCase{"TimeoutCodeRefused",
                   {"Com timeout\n",
                    "Erreur fffe \xE0 l'\xE9"
                    "criture de m1000\n",
                    "[]"},
                   false},
        MomentCase{"NoExecutor", {"Pas d'executeur installe\r\n"}, true},
        MomentCase{"ExecutorRemoved", {"Executeur desinstalle\n"}, false}),
    [](const testing::TestParamInfo<MomentCase>& info) { return std::string(info.param.name); });

}  // namespace
