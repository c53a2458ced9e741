// The program's start and its once-a-second cycle, in virtual time.
#include <cstdlib>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "case_names.h"
#include "fake_port.h"
#include "harness.h"
#include "test_os.h"

namespace {

using fake_runtime::Fault;
using Strings = std::vector<std::string>;

const std::string kBanner4 = "Communication OKV (COM4) <-> Corvalen V1.000\n";
const std::string kAttempt = "Connexion a Corvalen...\n";
const std::string kConnected = "Connexion effectuee\n";
const std::string kNotConnected = "Connexion impossible\n";
const std::string kInstalled = "Executeur installe\n";
const std::string kNotInstalled = "Pas d'executeur installe\n";
const std::string kRemoved = "Executeur desinstalle\n";

// The timeline as "+ms event", the time counted from the test's start.
Strings Trace() {
  Strings out;
  for (const timeline::Event& event : timeline::Events()) {
    out.push_back("+" + std::to_string(event.at - VirtualTimeTest::kStart) + " " + event.what);
  }
  return out;
}

// Runs BridgeMain until the virtual time budget is spent (its loop never returns by itself).
void RunBridgeFor(std::uint32_t ms, std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "okvbridge");
  fake_clock::SetBudget(ms);
  EXPECT_THROW(BridgeMain(static_cast<int>(arguments.size()), arguments.data()),
               fake_clock::BudgetSpent);
}

class NoLibraryCycle : public VirtualTimeTest {};

TEST_F(NoLibraryCycle, StartsThenTriesToConnectEveryTwoSeconds) {
  RunBridgeFor(6500, {"7"});
  EXPECT_EQ(fake_port::Opened(), std::vector<std::uint32_t>{7});
  EXPECT_EQ(Trace(), (Strings{"+0 say Communication OKV (COM7) <-> Corvalen V1.000\n",
                              "+1000 say " + kAttempt, "+1000 say " + kNotConnected,
                              "+3000 say " + kAttempt, "+3000 say " + kNotConnected,
                              "+5000 say " + kAttempt, "+5000 say " + kNotConnected}));
  EXPECT_EQ(fake_clock::SleepLengths(), (std::vector<std::uint32_t>(6, 1000)));
}

class NoEntryPointCycle : public VirtualTimeTest {};

TEST_F(NoEntryPointCycle, RetriesAndUnloadsTheLibraryEachTime) {
  for (int i = 0; i < 3; ++i) BridgeIteration();
  EXPECT_EQ(Console(),
            kAttempt + kNotConnected + kAttempt + kNotConnected + kAttempt + kNotConnected);
  EXPECT_STREQ(std::getenv("FAKE_RUNTIME_LOADS"), "3");
  EXPECT_STREQ(std::getenv("FAKE_RUNTIME_UNLOADS"), "3");
}

class Cycle : public FakeRuntimeTest {
 protected:
  // Connected, with an executor, and the messages and sleeps of getting there forgotten.
  void Install() {
    runtime->executor = true;
    BridgeIteration();
    BridgeIteration();
    ASSERT_EQ(Console(), kAttempt + kConnected + kInstalled);
    Forget();
  }

  void Forget() {
    ClearConsole();
    timeline::Clear();
    fake_clock::Reset(VirtualTimeTest::kStart);
    ForgetCalls();
  }
};

TEST_F(Cycle, FirstConnectionAttemptComesASecondAfterTheBanner) {
  RunBridgeFor(2500, {});
  EXPECT_EQ(fake_port::Opened(), std::vector<std::uint32_t>{4});
  EXPECT_EQ(Trace(),
            (Strings{"+0 say " + kBanner4, "+1000 say " + kAttempt, "+1000 say " + kConnected,
                     "+2000 probe", "+2000 say " + kNotInstalled}));
}

struct OpenFailure {
  std::vector<const char*> arguments;
  std::string banner;
  std::uint32_t port;
};

class PortOpenFailure : public Cycle, public testing::WithParamInterface<OpenFailure> {};

TEST_P(PortOpenFailure, ReportsAndReturnsMinusOne) {
  // Nobody is at the keyboard: the key read must come back at once.
  ASSERT_TRUE(test_os::DetachStandardInput());
  fake_port::SetOpenResult(-1);

  std::vector<const char*> argv{"okvbridge"};
  argv.insert(argv.end(), GetParam().arguments.begin(), GetParam().arguments.end());
  EXPECT_EQ(BridgeMain(static_cast<int>(argv.size()), argv.data()), -1);
  EXPECT_EQ(Console(), GetParam().banner + "Erreur a l'ouverture du port de communication\n");
  EXPECT_EQ(fake_port::Opened(), std::vector<std::uint32_t>{GetParam().port});
  EXPECT_TRUE(fake_clock::Sleeps().empty());
  EXPECT_TRUE(runtime->calls.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, PortOpenFailure,
    testing::Values(OpenFailure{{}, kBanner4, 4},
                    OpenFailure{{"abc"}, "Communication OKV (COM0) <-> Corvalen V1.000\n", 0},
                    OpenFailure{{"-1"},
                                "Communication OKV (COM4294967295) <-> Corvalen V1.000\n",
                                4294967295u}),
    NamedBy<OpenFailure>([](const OpenFailure& c) {
      return c.arguments.empty() ? std::string("none") : std::string(c.arguments[0]);
    }));

TEST_F(Cycle, WithoutExecutorProbesEveryTwoSecondsAndLeavesTheMailboxAlone) {
  BridgeIteration();
  Forget();
  SetVariable(5, 1000, 1);
  BridgeIteration();
  BridgeIteration();
  EXPECT_EQ(Trace(), (Strings{"+1000 probe", "+1000 say " + kNotInstalled, "+3000 probe",
                              "+3000 say " + kNotInstalled}));
  EXPECT_EQ(fake_clock::SleepLengths(), (std::vector<std::uint32_t>(4, 1000)));
}

TEST_F(Cycle, InstalledExecutorIsAnnouncedAndTheMailboxReadFromTheNextSecond) {
  BridgeIteration();
  Forget();
  runtime->executor = true;
  BridgeIteration();
  BridgeIteration();
  BridgeIteration();
  EXPECT_EQ(Trace(), (Strings{"+1000 probe", "+1000 say " + kInstalled, "+2000 probe",
                              "+2000 read m1000", "+3000 probe", "+3000 read m1000"}));
  EXPECT_EQ(fake_clock::SleepLengths(), (std::vector<std::uint32_t>(3, 1000)));
}

TEST_F(Cycle, RemovedExecutorStillHasItsMailboxReadOnce) {
  Install();
  runtime->executor = false;
  BridgeIteration();
  BridgeIteration();
  EXPECT_EQ(Trace(), (Strings{"+1000 probe", "+1000 say " + kRemoved, "+1000 read m1000",
                              "+2000 probe", "+2000 say " + kNotInstalled}));
  EXPECT_EQ(fake_clock::SleepLengths(), (std::vector<std::uint32_t>{1000, 1000, 1000}));
}

TEST_F(Cycle, RemovedExecutorStillServesTheRequestReadWithIt) {
  Install();
  runtime->executor = false;
  SetVariable(5, 1000, 1);
  fake_port::ReplyTo('P', {{100, "Sleep"}});
  BridgeIteration();
  EXPECT_EQ(timeline::What(), (Strings{"probe", "say " + kRemoved, "read m1000", "write m1000 2",
                                       "send P\n", "say [Sleep]", "write m1000 3"}));
}

class IdleMailbox : public Cycle, public testing::WithParamInterface<int> {};

TEST_P(IdleMailbox, CodeStartsNothing) {
  Install();
  SetVariable(5, 1000, GetParam());
  BridgeIteration();
  BridgeIteration();
  EXPECT_EQ(timeline::What(), (Strings{"probe", "read m1000", "probe", "read m1000"}));
  EXPECT_EQ(Console(), "");
}

INSTANTIATE_TEST_SUITE_P(Codes, IdleMailbox,
                         testing::Values(0, 2, 3, 4, 5, 7, 8, 9, 10, 255, 0xFFFF),
                         [](const testing::TestParamInfo<int>& info) {
                           return std::to_string(info.param);
                         });

TEST_F(Cycle, CodeOneRunsTheWholePExchange) {
  Install();
  SetVariable(5, 1000, 1);
  fake_port::ReplyTo('P', {{300, "Turning On"}});
  BridgeIteration();
  EXPECT_EQ(Trace(), (Strings{"+1000 probe", "+1000 read m1000", "+1000 write m1000 2",
                              "+1000 send P\n", "+1800 say [Turning On]", "+1800 write m1000 4"}));
  EXPECT_EQ(Mailbox(), 4);

  // The result stays for the application to take; the next message follows the reply directly.
  runtime->executor = false;
  BridgeIteration();
  EXPECT_EQ(timeline::What().back(), "read m1000");
  EXPECT_EQ(Console(), "[Turning On]" + kRemoved);
}

TEST_F(Cycle, CodeSixRunsTheWholeRExchange) {
  Install();
  SetVariable(5, 1000, 6);
  fake_port::ReplyTo('R', {{100, "N42"}});
  BridgeIteration();
  EXPECT_EQ(Trace(),
            (Strings{"+1000 probe", "+1000 read m1000", "+1000 write m1000 7", "+1000 send R\n",
                     "+1200 say [N42]", "+1200 write l1000 42", "+1200 write m1000 8"}));
}

struct ReadError {
  const char* name;
  int mailbox;
  Fault fault;
  std::string errorLine;
  std::string command;  // the transaction that still starts, if any
};

void PrintTo(const ReadError& c, std::ostream* os) {
  *os << c.name;
}

Fault Refused(std::uint16_t word) {
  Fault fault = ReadFault(5, 1000);
  fault.refusal = word;
  return fault;
}

Fault Completed(std::uint8_t resultCode) {
  Fault fault = ReadFault(5, 1000);
  fault.resultCode = resultCode;
  return fault;
}

Fault NeverCompleted() {
  Fault fault = ReadFault(5, 1000);
  fault.notReadyFetches = -1;
  return fault;
}

class MailboxReadError : public Cycle, public testing::WithParamInterface<ReadError> {};

// The error line is printed, and the dispatch runs on whatever value the read delivered: none
// for a refusal or a time-out, the stored one for a completion with a result code.
TEST_P(MailboxReadError, IsReportedAndTheDeliveredValueStillDispatched) {
  Install();
  SetVariable(5, 1000, GetParam().mailbox);
  AddFault(GetParam().fault);
  if (GetParam().fault.notReadyFetches < 0) fake_clock::SetAutoAdvance(1);
  BridgeIteration();
  EXPECT_EQ(Console().substr(0, GetParam().errorLine.size()), GetParam().errorLine);
  EXPECT_EQ(timeline::What("send"),
            GetParam().command.empty() ? Strings{} : Strings{"send " + GetParam().command});
}

INSTANTIATE_TEST_SUITE_P(
    Faults, MailboxReadError,
    testing::Values(
        ReadError{"refused", 1, Refused(0x0100), "Erreur 100 \xE0 la lecture de m1000\n", ""},
        ReadError{"refusedLikeACode", 1, Refused(5), "Erreur 5 \xE0 la lecture de m1000\n", ""},
        ReadError{"refusedAsNotParsed", 6, Refused(0xFFFF),
                  "Erreur ffff \xE0 la lecture de m1000\n", ""},
        ReadError{"noCompletion", 1, NeverCompleted(), "Erreur fffe \xE0 la lecture de m1000\n",
                  ""},
        ReadError{"resultCode", 1, Completed(3), "Erreur 3 \xE0 la lecture de m1000\n", "P\n"},
        ReadError{"resultCodeFF", 6, Completed(255), "Erreur ff \xE0 la lecture de m1000\n",
                  "R\n"}),
    [](const testing::TestParamInfo<ReadError>& info) { return std::string(info.param.name); });

}  // namespace
