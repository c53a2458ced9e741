// The P and R device transactions in virtual time: mailbox writes, serial commands, the wait for
// the reply, its reading and classification, and which runtime errors are reported.
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "case_names.h"
#include "fake_port.h"
#include "harness.h"
#include "runtime/runtime_link.h"

namespace {

using fake_runtime::Fault;
using Strings = std::vector<std::string>;
using Times = std::vector<std::uint32_t>;

const std::string kWriteError =
    "\xE0 l'\xE9"
    "criture de ";

class Transaction : public FakeRuntimeTest {
 protected:
  void SetUp() override {
    FakeRuntimeTest::SetUp();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(ConnectRuntime());
    ForgetCalls();
  }

  static void Run(char command) { command == 'P' ? RunPTransaction() : RunRTransaction(); }

  // Times of the WaitingCount calls since `from`, counted from `from`.
  static Times PollsSince(std::uint32_t from) {
    Times out;
    for (std::uint32_t at : fake_port::Polls()) out.push_back(at - from);
    return out;
  }
};

struct PReply {
  const char* text;
  int code;
};

class PReplyClass : public Transaction, public testing::WithParamInterface<PReply> {};

TEST_P(PReplyClass, IsPrintedAndPosted) {
  const std::string reply = GetParam().text;
  fake_port::ReplyTo('P', {{100, reply}});
  RunPTransaction();
  EXPECT_EQ(timeline::What(), (Strings{"write m1000 2", "send P\n", "say [" + reply + "]",
                                       "write m1000 " + std::to_string(GetParam().code)}));
  EXPECT_EQ(Console(), "[" + reply + "]");
  EXPECT_EQ(Mailbox(), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, PReplyClass,
    testing::Values(PReply{"Turning On", 4}, PReply{"Sleep", 3}, PReply{"Sleep Turning On", 4},
                    PReply{"Turning On Sleep", 4}, PReply{"Turning OnSleep", 4}, PReply{"sleep", 5},
                    PReply{"turning on", 5}, PReply{"TurningOn", 5}, PReply{"Turning\nOn", 5},
                    PReply{"..Sleeping..", 3}, PReply{"Status: Turning On\r\n", 4}, PReply{"?", 5}),
    NamedBy<PReply>([](const PReply& c) { return c.text; }));

struct RReply {
  const char* text;
  std::int32_t number;
  int code;
};

class RReplyValue : public Transaction, public testing::WithParamInterface<RReply> {};

TEST_P(RReplyValue, IsPrintedAndPosted) {
  const std::string reply = GetParam().text;
  fake_port::ReplyTo('R', {{100, reply}});
  RunRTransaction();
  EXPECT_EQ(timeline::What(), (Strings{"write m1000 7", "send R\n", "say [" + reply + "]",
                                       "write l1000 " + std::to_string(GetParam().number),
                                       "write m1000 " + std::to_string(GetParam().code)}));
  EXPECT_EQ(Variable(7, 1000), GetParam().number);
  EXPECT_EQ(Mailbox(), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Replies, RReplyValue,
                         testing::Values(RReply{"A123", 123, 8}, RReply{"12", 2, 8},
                                         RReply{"A-5", -5, 9}, RReply{"A 42", 42, 9},
                                         RReply{"A", 0, 9}, RReply{"A0", 0, 8}, RReply{"-7", 7, 8},
                                         RReply{"AB12", 0, 9}, RReply{"A12abc", 12, 8},
                                         RReply{"A9\r\n", 9, 8}, RReply{"A\t5", 5, 9},
                                         RReply{"A+5", 5, 9}, RReply{"X99999999999", INT32_MAX, 8},
                                         RReply{"X-99999999999", INT32_MIN, 9},
                                         RReply{"X2147483647", INT32_MAX, 8}),
                         NamedBy<RReply>([](const RReply& c) { return c.text; }));

// A silent device: the time-out code is posted once. The application may already have written its
// next request over it, which a second write of the same code would lose.
TEST_F(Transaction, PTimeoutPostsFiveOnce) {
  RunPTransaction();
  EXPECT_EQ(timeline::What(),
            (Strings{"write m1000 2", "send P\n", "say Com timeout\n", "write m1000 5", "say []"}));
  EXPECT_EQ(Console(), "Com timeout\n[]");
  EXPECT_EQ(timeline::TimeOf("say Com timeout\n") - kStart, 5600u);
  EXPECT_EQ(fake_clock::SleepLengths(), Times(7, 800));
}

TEST_F(Transaction, RTimeoutPostsNineThenZero) {
  RunRTransaction();
  EXPECT_EQ(timeline::What(), (Strings{"write m1000 7", "send R\n", "say Com timeout\n",
                                       "write m1000 9", "say []", "write l1000 0"}));
  EXPECT_EQ(timeline::TimeOf("say Com timeout\n") - kStart, 5000u);
  EXPECT_EQ(fake_clock::SleepLengths(), Times(25, 200));
}

// A reply that lands after the last poll, while the runtime takes its time over the time-out code,
// is still read; its code is posted when it differs from the time-out code.
struct LateReply {
  const char* name;
  char command;
  const char* reply;
  Strings writes;
};

void PrintTo(const LateReply& c, std::ostream* os) {
  *os << c.name;
}

class LateReplyAfterTimeout : public Transaction, public testing::WithParamInterface<LateReply> {};

TEST_P(LateReplyAfterTimeout, IsReadAndPostedUnlessItsCodeIsPostedAlready) {
  const LateReply& c = GetParam();
  fake_port::ReplyTo(c.command, {{5700, c.reply}});
  const std::string timeoutWrite = c.command == 'P' ? "write m1000 5" : "write m1000 9";
  onCall = [timeoutWrite](const fake_runtime::Call& call) {
    if (harness::Describe(call) == timeoutWrite) fake_clock::Advance(1000);
  };
  Run(c.command);
  EXPECT_EQ(timeline::What("write"), c.writes);
  EXPECT_EQ(timeline::What("say"),
            (Strings{"say Com timeout\n", std::string("say [") + c.reply + "]"}));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, LateReplyAfterTimeout,
    testing::Values(
        LateReply{"PTurningOn", 'P', "Turning On", {"write m1000 2", "write m1000 5", "write m1000 4"}},
        LateReply{"PNeitherWord", 'P', "?", {"write m1000 2", "write m1000 5"}},
        LateReply{"RNumber", 'R', "A77",
                  {"write m1000 7", "write m1000 9", "write l1000 77", "write m1000 8"}},
        LateReply{"RNoDigit", 'R', "Ax", {"write m1000 7", "write m1000 9", "write l1000 0"}}),
    [](const testing::TestParamInfo<LateReply>& info) { return std::string(info.param.name); });

struct Wait {
  char command;
  std::uint32_t clockStart;
  std::uint32_t replyAfter;
  Times polls;  // the wait's polls, then the read step's count, from the send
  bool timedOut;
};

void PrintTo(const Wait& w, std::ostream* os) {
  *os << w.command << " reply after " << w.replyAfter << " clock from " << w.clockStart;
}

class ReplyWait : public Transaction, public testing::WithParamInterface<Wait> {};

TEST_P(ReplyWait, PollsAtItsIntervalForFiveSeconds) {
  fake_clock::Reset(GetParam().clockStart);
  const std::uint32_t sentAt = fake_clock::Now();
  fake_port::ReplyTo(GetParam().command, {{GetParam().replyAfter, "A1"}});
  Run(GetParam().command);
  EXPECT_EQ(PollsSince(sentAt), GetParam().polls);
  EXPECT_EQ(timeline::What("say Com timeout").size(), GetParam().timedOut ? 1u : 0u);
}

Times Every(std::uint32_t interval, std::uint32_t count) {
  Times out;
  for (std::uint32_t i = 1; i <= count; ++i) out.push_back(i * interval);
  out.push_back(count * interval);  // the read step counts again straight after the last poll
  return out;
}

constexpr std::uint32_t kNearWrap = 0xFFFFF000u;

INSTANTIATE_TEST_SUITE_P(Timing, ReplyWait,
                         testing::Values(Wait{'P', 100000, 0, Every(800, 1), false},
                                         Wait{'P', 100000, 800, Every(800, 1), false},
                                         Wait{'P', 100000, 801, Every(800, 2), false},
                                         Wait{'P', 100000, 4999, Every(800, 7), false},
                                         Wait{'P', 100000, 5601, Every(800, 7), true},
                                         Wait{'P', kNearWrap, 4999, Every(800, 7), false},
                                         Wait{'P', kNearWrap, 9000, Every(800, 7), true},
                                         Wait{'R', 100000, 200, Every(200, 1), false},
                                         Wait{'R', 100000, 1000, Every(200, 5), false},
                                         Wait{'R', 100000, 5000, Every(200, 25), false},
                                         Wait{'R', 100000, 5001, Every(200, 25), true},
                                         Wait{'R', kNearWrap, 4900, Every(200, 25), false},
                                         Wait{'R', kNearWrap, 9000, Every(200, 25), true}),
                         NamedByPrinting<Wait>());

TEST_F(Transaction, SplitReplyTakesOnlyWhatIsWaitingAndLeavesTheRestForNextTime) {
  fake_port::ReplyTo('P', {{800, "Turn"}, {900, "ing On"}});
  RunPTransaction();
  const std::uint32_t secondAt = fake_clock::Now();
  RunPTransaction();
  EXPECT_EQ(timeline::What("say"), (Strings{"say [Turn]", "say [ing On]"}));
  EXPECT_EQ(timeline::What("write"),
            (Strings{"write m1000 2", "write m1000 5", "write m1000 2", "write m1000 5"}));
  // The leftover ends the second wait at its first poll.
  EXPECT_EQ(timeline::TimeOf("say [ing On]") - secondAt, 800u);
}

TEST_F(Transaction, BytesWaitingBeforeTheCommandAreTakenAsItsReply) {
  fake_port::Arrive(0, "Turning On");
  RunRTransaction();
  EXPECT_EQ(timeline::What("say"), Strings{"say [Turning On]"});
  EXPECT_EQ(fake_clock::SleepLengths(), Times{200});
}

TEST_F(Transaction, LongReplyIsReadAtMost1023BytesAtATime) {
  std::string reply;
  for (int i = 0; i < 2990; ++i) reply += static_cast<char>('a' + i % 26);
  reply += "Turning On";
  fake_port::ReplyTo('P', {{100, reply}});
  // ReadWaiting fails the test if asked for more than the 1023 bytes the buffer can take.
  RunPTransaction();
  RunPTransaction();
  RunPTransaction();
  EXPECT_EQ(timeline::What("say"), (Strings{"say [" + reply.substr(0, 1023) + "]",
                                            "say [" + reply.substr(1023, 1023) + "]",
                                            "say [" + reply.substr(2046) + "]"}));
  EXPECT_EQ(timeline::What("write"), (Strings{"write m1000 2", "write m1000 5", "write m1000 2",
                                              "write m1000 5", "write m1000 2", "write m1000 4"}));
  EXPECT_EQ(fake_port::Pending(), 0u);
}

TEST_F(Transaction, ReplyTextEndsAtItsFirstZeroByte) {
  fake_port::ReplyTo('P', {{100, std::string("Sleep\0Turning On", 16)}});
  RunPTransaction();
  EXPECT_EQ(Console(), "[Sleep]");
  EXPECT_EQ(Mailbox(), 3);
  EXPECT_EQ(fake_port::Pending(), 0u) << "the bytes after the zero were read all the same";
}

TEST_F(Transaction, RNumberEndsAtTheFirstZeroByte) {
  fake_port::ReplyTo('R', {{100, std::string("A1\0"
                                             "23",
                                             5)}});
  RunRTransaction();
  EXPECT_EQ(Variable(7, 1000), 1);
  EXPECT_EQ(Mailbox(), 8);
}

TEST_F(Transaction, RFirstByteIsSkippedEvenWhenItIsZero) {
  // The text printed is empty, but the number is read from the second byte whatever the first.
  fake_port::ReplyTo('R', {{100, std::string("\0"
                                             "5",
                                             2)}});
  RunRTransaction();
  EXPECT_EQ(Console(), "[]");
  EXPECT_EQ(Variable(7, 1000), 5);
  EXPECT_EQ(Mailbox(), 8);
}

// Runtime errors on the mailbox writes: which are reported, and what the transaction does next.
struct WriteError {
  const char* name;
  char command;
  const char* reply;  // null: the device stays silent
  Fault fault;
  std::string console;
  Strings writes;
  int mailbox;  // m1000 as the runtime holds it at the end
};

void PrintTo(const WriteError& c, std::ostream* os) {
  *os << c.name;
}

Fault OnWrite(const char* reference, std::int32_t value) {
  VarRef ref{};
  ParseVarRef(reference, ref);
  Fault fault = WriteFault(ref.type, ref.index);
  fault.matchValue = true;
  fault.value = value;
  fault.uses = 1;
  return fault;
}

Fault Code(Fault fault, std::uint8_t code) {
  fault.resultCode = code;
  return fault;
}

Fault Refusal(Fault fault, std::uint16_t word) {
  fault.refusal = word;
  return fault;
}

Fault NoCompletion(Fault fault) {
  fault.notReadyFetches = -1;
  return fault;
}

std::string Error(const char* status, const char* reference) {
  return std::string("Erreur ") + status + " " + kWriteError + reference + "\n";
}

class MailboxWriteError : public Transaction, public testing::WithParamInterface<WriteError> {};

TEST_P(MailboxWriteError, IsReportedByItsRule) {
  const WriteError& c = GetParam();
  if (c.reply != nullptr) fake_port::ReplyTo(c.command, {{100, c.reply}});
  AddFault(c.fault);
  if (c.fault.notReadyFetches < 0) fake_clock::SetAutoAdvance(1);
  Run(c.command);
  EXPECT_EQ(Console(), c.console);
  EXPECT_EQ(timeline::What("write"), c.writes);
  EXPECT_EQ(Mailbox(), c.mailbox);
}

const Strings kPWrites{"write m1000 2", "write m1000 4"};
const Strings kRWrites{"write m1000 7", "write l1000 5", "write m1000 8"};

// P acknowledges under rule A: any nonzero status is reported, result codes included.
INSTANTIATE_TEST_SUITE_P(
    PAcknowledgement, MailboxWriteError,
    testing::Values(WriteError{"code1", 'P', "Turning On", Code(OnWrite("m1000", 2), 1),
                               Error("1", "m1000") + "[Turning On]", kPWrites, 4},
                    WriteError{"code255", 'P', "Turning On", Code(OnWrite("m1000", 2), 255),
                               Error("ff", "m1000") + "[Turning On]", kPWrites, 4},
                    WriteError{"refused5", 'P', "Turning On", Refusal(OnWrite("m1000", 2), 5),
                               Error("5", "m1000") + "[Turning On]", kPWrites, 4},
                    WriteError{"refused", 'P', "Turning On", Refusal(OnWrite("m1000", 2), 0x0100),
                               Error("100", "m1000") + "[Turning On]", kPWrites, 4},
                    WriteError{"noCompletion", 'P', "Turning On", NoCompletion(OnWrite("m1000", 2)),
                               Error("fffe", "m1000") + "[Turning On]", kPWrites, 4}),
    [](const testing::TestParamInfo<WriteError>& info) { return std::string(info.param.name); });

// Every other write is under rule B: only statuses with a nonzero high byte are reported.
INSTANTIATE_TEST_SUITE_P(
    PResult, MailboxWriteError,
    testing::Values(WriteError{"code5", 'P', "Turning On", Code(OnWrite("m1000", 4), 5),
                               "[Turning On]", kPWrites, 4},
                    WriteError{"refused5", 'P', "Turning On", Refusal(OnWrite("m1000", 4), 5),
                               "[Turning On]", kPWrites, 2},
                    WriteError{"refused", 'P', "Turning On", Refusal(OnWrite("m1000", 4), 0x0100),
                               "[Turning On]" + Error("100", "m1000"), kPWrites, 2},
                    WriteError{"noCompletion", 'P', "Turning On", NoCompletion(OnWrite("m1000", 4)),
                               "[Turning On]" + Error("fffe", "m1000"), kPWrites, 4},
                    WriteError{"timeoutCode7", 'P', nullptr, Code(OnWrite("m1000", 5), 7),
                               "Com timeout\n[]",
                               (Strings{"write m1000 2", "write m1000 5", "write m1000 5"}), 5},
                    // A time-out code the runtime did not take is written again as the result.
                    WriteError{"timeoutRefused", 'P', nullptr, Refusal(OnWrite("m1000", 5), 0x0200),
                               "Com timeout\n" + Error("200", "m1000") + "[]",
                               (Strings{"write m1000 2", "write m1000 5", "write m1000 5"}), 5},
                    WriteError{"timeoutNoCompletion", 'P', nullptr,
                               NoCompletion(OnWrite("m1000", 5)),
                               "Com timeout\n" + Error("fffe", "m1000") + "[]",
                               (Strings{"write m1000 2", "write m1000 5", "write m1000 5"}), 5}),
    [](const testing::TestParamInfo<WriteError>& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    RWrites, MailboxWriteError,
    testing::Values(
        WriteError{"ackCode5", 'R', "A5", Code(OnWrite("m1000", 7), 5), "[A5]", kRWrites, 8},
        WriteError{"ackRefused", 'R', "A5", Refusal(OnWrite("m1000", 7), 0x0100),
                   Error("100", "m1000") + "[A5]", kRWrites, 8},
        WriteError{"ackNoCompletion", 'R', "A5", NoCompletion(OnWrite("m1000", 7)),
                   Error("fffe", "m1000") + "[A5]", kRWrites, 8},
        WriteError{"numberCode5", 'R', "A5", Code(OnWrite("l1000", 5), 5), "[A5]", kRWrites, 8},
        // A failed number write ends the transaction: the application keeps seeing 7.
        WriteError{"numberRefused", 'R', "A5", Refusal(OnWrite("l1000", 5), 0x0100),
                   "[A5]" + Error("100", "l1000"), (Strings{"write m1000 7", "write l1000 5"}), 7},
        WriteError{"numberNoCompletion", 'R', "A5", NoCompletion(OnWrite("l1000", 5)),
                   "[A5]" + Error("fffe", "l1000"), (Strings{"write m1000 7", "write l1000 5"}), 7},
        WriteError{"numberRefusedAfterTimeout", 'R', nullptr, Refusal(OnWrite("l1000", 0), 0xFF00),
                   "Com timeout\n[]" + Error("ff00", "l1000"),
                   (Strings{"write m1000 7", "write m1000 9", "write l1000 0"}), 9},
        WriteError{"timeoutCode3", 'R', nullptr, Code(OnWrite("m1000", 9), 3), "Com timeout\n[]",
                   (Strings{"write m1000 7", "write m1000 9", "write l1000 0", "write m1000 9"}), 9},
        WriteError{"resultCode9", 'R', "A5", Code(OnWrite("m1000", 8), 9), "[A5]", kRWrites, 8},
        WriteError{"resultRefused", 'R', "A5", Refusal(OnWrite("m1000", 8), 0x0100),
                   "[A5]" + Error("100", "m1000"), kRWrites, 7}),
    [](const testing::TestParamInfo<WriteError>& info) { return std::string(info.param.name); });

}  // namespace
