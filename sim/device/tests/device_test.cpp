// Tests of okvsim-device that mean the same on every platform, driven as the bridge drives it:
// through the bridge's end of the line, opened raw, while the test plays the harness on the
// device's standard input and reads its log. The platform's part is in device_test_<platform>.cpp.
#include <algorithm>
#include <string>
#include <vector>

#include "device_test.h"

// Waits for a log line holding `text`, after the line the previous wait found.
bool WaitForLog(Device& device, const std::string& text, int ms, std::string* line) {
  std::size_t hit = std::string::npos;
  auto found = [&] {
    for (std::size_t at = device.seen, end;
         (end = device.logText.find('\n', at)) != std::string::npos; at = end + 1) {
      if (device.logText.substr(at, end - at).find(text) != std::string::npos) {
        if (line != nullptr) *line = device.logText.substr(at, end - at);
        hit = end + 1;
        return true;
      }
    }
    return false;
  };
  if (ReadLog(device, ms, found) != Outcome::kDone) return false;
  device.seen = hit;
  return true;
}

void DeviceTest::SetUp() {
  ASSERT_TRUE(PrepareLine());
}

void DeviceTest::TearDown() {
  ClosePeer(port);
  if (Running(device)) StopDevice(device);
  PutLineAway();
}

void DeviceTest::Start(std::vector<std::string> args, bool raw) {
  const std::vector<std::string> line = LineArgs();
  args.insert(args.begin(), line.begin(), line.end());
  device = Launch(args);
  ASSERT_TRUE(Running(device));
  ASSERT_TRUE(WaitForLog(device, ReadyText(), 5000, &ready)) << device.logText;
  port = OpenPeer(raw);
  ASSERT_NE(port, kNoPeer);
}

void DeviceTest::Tell(const std::string& command) {
  ASSERT_TRUE(Control(device, command + "\n"));
  ASSERT_TRUE(WaitForLog(device, "ok " + command)) << device.logText;
}

void DeviceTest::Send(const std::string& bytes) {
  ASSERT_TRUE(PeerSend(port, bytes));
}

namespace {

TEST_F(DeviceTest, AnswersPAndRWithTheirDefaultReplies) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  Send("P\n");
  EXPECT_EQ(Receive(port, 10), "Turning On");
  Send("R\n");
  EXPECT_EQ(Receive(port, 4), "A123");
  EXPECT_TRUE(Quiet(port, 200)) << "bytes beyond the two replies";
}

TEST_F(DeviceTest, RepliesTakeEscapesFromOptionsAndCommands) {
  ASSERT_NO_FATAL_FAILURE(Start({"--p", "Sleep\\r\\n", "--r=A\\x00\\t9\\\\"}));
  Send("P\n");
  EXPECT_EQ(Receive(port, 7), "Sleep\r\n");
  Send("R\n");
  EXPECT_EQ(Receive(port, 5), std::string("A\0\t9\\", 5));
  ASSERT_NO_FATAL_FAILURE(Tell("p Sleep and Turning On"));
  ASSERT_NO_FATAL_FAILURE(Tell("r A-5"));
  Send("R\nP\n");
  EXPECT_EQ(Receive(port, 23), "A-5Sleep and Turning On");
}

TEST_F(DeviceTest, FindsCommandsAmidNoiseAndAcrossReads) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  Send("xyP");
  ASSERT_TRUE(WaitForLog(device, "<- ignored \"xy\""));
  Send("\n");
  EXPECT_EQ(Receive(port, 10), "Turning On");
  Send("p\nQ\nPR\n");  // lower case is no command, and only the letter before the line feed counts
  EXPECT_EQ(Receive(port, 4), "A123");
  EXPECT_TRUE(Quiet(port, 200));
}

TEST_F(DeviceTest, DelayHoldsTheReplyButNotTheDevice) {
  ASSERT_NO_FATAL_FAILURE(Start({"--delay", "800"}));
  const Clock::time_point sent = Clock::now();
  Send("P\n");
  ASSERT_TRUE(WaitForLog(device, "<- P"));
  ASSERT_NO_FATAL_FAILURE(Tell("delay 0"));
  Send("R\n");
  ASSERT_TRUE(WaitForLog(device, "<- R"));
  EXPECT_LT(MsSince(sent), 600) << "the delayed reply held up commands";
  EXPECT_EQ(Waiting(port), 0);
  EXPECT_EQ(Receive(port, 1), "T");
  const long first = MsSince(sent);
  EXPECT_GE(first, 800);
  EXPECT_LT(first, 800 + 1000);
  // The later reply, though due at once, waits behind the delayed one.
  EXPECT_EQ(Receive(port, 13), "urning OnA123");
}

TEST_F(DeviceTest, SplitReplyArrivesInTwoPartsWithThePauseBetween) {
  ASSERT_NO_FATAL_FAILURE(Start({"--split", "4", "--split-pause", "500"}));
  Send("P\n");
  EXPECT_EQ(Receive(port, 4), "Turn");
  const Clock::time_point first = Clock::now();
  EXPECT_EQ(Waiting(port), 0) << "the second part came with the first";
  EXPECT_EQ(Receive(port, 6), "ing On");
  EXPECT_GE(MsSince(first), 450);
  ASSERT_NO_FATAL_FAILURE(Tell("split 1 200"));
  Send("R\n");
  EXPECT_EQ(Receive(port, 1), "A");
  const Clock::time_point again = Clock::now();
  EXPECT_EQ(Receive(port, 3), "123");
  EXPECT_GE(MsSince(again), 150);
}

TEST_F(DeviceTest, SilentSendsNothingUntilTurnedOff) {
  ASSERT_NO_FATAL_FAILURE(Start({"--silent"}));
  Send("P\n");
  ASSERT_TRUE(WaitForLog(device, "P unanswered (silent)"));
  EXPECT_TRUE(Quiet(port, 1000));
  ASSERT_NO_FATAL_FAILURE(Tell("silent off"));
  Send("P\n");
  EXPECT_EQ(Receive(port, 10), "Turning On");
}

TEST_F(DeviceTest, SendWritesUnsolicitedBytesThatDoNotComeBack) {
  ASSERT_NO_FATAL_FAILURE(Start({}, false));
  ASSERT_NO_FATAL_FAILURE(Tell("send P\\n\\0Z"));
  EXPECT_EQ(Receive(port, 4), std::string("P\n\0Z", 4));
  // Echoed by the line, the device's own "P\n" would come back to it as a command.
  EXPECT_TRUE(Quiet(port, 300));
  EXPECT_FALSE(WaitForLog(device, "<- P", 0));
}

TEST_F(DeviceTest, NextReplyAppliesOnceEvenWhileSilent) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  ASSERT_NO_FATAL_FAILURE(Tell("next p Sleep"));
  ASSERT_NO_FATAL_FAILURE(Tell("next p"));
  Send("R\nP\n");
  EXPECT_EQ(Receive(port, 9), "A123Sleep");
  Send("P\n");
  ASSERT_TRUE(WaitForLog(device, "-> \"\" (0 bytes, once)"));
  Send("P\n");
  EXPECT_EQ(Receive(port, 10), "Turning On");
  ASSERT_NO_FATAL_FAILURE(Tell("silent on"));
  ASSERT_NO_FATAL_FAILURE(Tell("next r A9"));
  Send("R\nR\n");
  EXPECT_EQ(Receive(port, 2), "A9");
  ASSERT_TRUE(WaitForLog(device, "R unanswered (silent)"));
}

TEST_F(DeviceTest, LongReplyOf3000BytesArrivesWhole) {
  ASSERT_NO_FATAL_FAILURE(Start({"--long", "3000"}));
  Send("P\n");
  const std::string reply = Receive(port, 3000);
  ASSERT_EQ(reply.size(), 3000u);
  EXPECT_EQ(reply.substr(0, 12), "012345678901");
  EXPECT_EQ(reply[1234], '4');
  EXPECT_EQ(reply.substr(2995), "<END>");
  EXPECT_TRUE(Quiet(port, 200));
  std::string line;
  ASSERT_TRUE(WaitForLog(device, "<END>\" (3000 bytes)", 1000, &line));
  EXPECT_NE(line.find("-> \"012345678901"), std::string::npos) << line;
  EXPECT_LT(line.size(), 200u) << "the log shows the middle of a long reply";
}

// Far more than the pseudo-terminal holds: the device must wait for room, not drop the rest.
TEST_F(DeviceTest, ReplyLongerThanTheLineHoldsArrivesWhole) {
  ASSERT_NO_FATAL_FAILURE(Start({"--long", "200000"}));
  Send("R\n");
  const std::string reply = Receive(port, 200000, 10000);
  ASSERT_EQ(reply.size(), 200000u);
  EXPECT_EQ(reply.substr(199995), "<END>");
  for (std::size_t i = 0; i < 199995; ++i) {
    ASSERT_EQ(reply[i], static_cast<char>('0' + i % 10)) << "at " << i;
  }
}

TEST_F(DeviceTest, BinaryReplyHoldsANul) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  ASSERT_NO_FATAL_FAILURE(Tell("binary 64"));
  Send("R\n");
  const std::string reply = Receive(port, 64);
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_NE(reply.find('\0'), std::string::npos);
  Send("P\n");
  EXPECT_EQ(Receive(port, 64), reply) << "P and R share the binary reply";
}

TEST_F(DeviceTest, BadCommandIsReportedAndTheDeviceGoesOn) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  const std::string bad = "frobnicate\ndelay soon\nsplit\np \\q\n";
  ASSERT_TRUE(Control(device, bad));
  ASSERT_NO_FATAL_FAILURE(Tell("r B7"));
  Send("R\nP\n");
  EXPECT_EQ(Receive(port, 12), "B7Turning On");
  ReadErrors(device, 3000, [&] {
    return std::count(device.errorText.begin(), device.errorText.end(), '\n') >= 4;
  });
  EXPECT_EQ(std::count(device.errorText.begin(), device.errorText.end(), '\n'), 4)
      << device.errorText;
  EXPECT_NE(device.errorText.find("frobnicate"), std::string::npos);
}

TEST_F(DeviceTest, EndOfInputKeepsItAnswering) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  CloseControl(device);
  ASSERT_TRUE(WaitForLog(device, "end of input: answering on"));
  Send("P\n");
  EXPECT_EQ(Receive(port, 10), "Turning On");
}

TEST_F(DeviceTest, QuitEndsWithZeroAndRemovesTheLink) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  ASSERT_NO_FATAL_FAILURE(Tell("quit"));
  EXPECT_EQ(WaitExit(device), 0);
#ifndef _WIN32
  EXPECT_FALSE(LinkLeftBehind());  // only a POSIX device leaves a trace: its link
#endif
}

TEST_F(DeviceTest, EndOfInputEndsItWhenAsked) {
  ASSERT_NO_FATAL_FAILURE(Start({"--exit-on-eof"}));
  CloseControl(device);
  EXPECT_EQ(WaitExit(device), 0);
#ifndef _WIN32
  EXPECT_FALSE(LinkLeftBehind());  // only a POSIX device leaves a trace: its link
#endif
}

int RunToEnd(const std::vector<std::string>& args, Device& device) {
  device = Launch(args);
  return WaitExit(device);
}

TEST(DeviceCommandLine, HelpExitsZeroAndNamesEveryOptionAndCommand) {
  Device device;
  ASSERT_EQ(RunToEnd({"--help"}, device), 0);
  std::vector<std::string> words = LineOptionNames();
  for (const char* word :
       {"--p ",     "--r ",     "--delay",       "--split ", "--split-pause", "--silent",
        "--long",   "--binary", "--exit-on-eof", "--help",   "next p",        "send",
        "delay MS", "split N",  "silent on|off", "long N",   "binary N",      "unplug",
        "plug",     "quit",     "ready"}) {
    words.push_back(word);
  }
  for (const std::string& word : words) {
    EXPECT_NE(device.logText.find(word), std::string::npos) << word;
  }
  ASSERT_EQ(RunToEnd({"--version"}, device), 0);
  EXPECT_NE(device.logText.find("okvsim-device " OKV_VERSION), std::string::npos) << device.logText;
}

TEST(DeviceCommandLine, BadOptionExitsTwoWithOneLine) {
  std::vector<std::vector<std::string>> cases = {
      {"--bogus"}, {"--delay", "soon"},    {"--p", "\\q"},
      {"--com"},   {"--long", "99999999"}, {"--silent=yes"}};
  for (const std::vector<std::string>& line : BadLineOptions()) cases.push_back(line);
  for (const std::vector<std::string>& args : cases) {
    Device device;
    EXPECT_EQ(RunToEnd(args, device), 2) << args[0];
    EXPECT_EQ(std::count(device.errorText.begin(), device.errorText.end(), '\n'), 1)
        << args[0] << ": " << device.errorText;
  }
}

}  // namespace
