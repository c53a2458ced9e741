// The runtime link against a real shared library: loading it, the blocks handed to the entry
// point, completion polling and status codes.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "case_names.h"
#include "harness.h"
#include "runtime/runtime_link.h"
#include "test_os.h"

namespace {

using fake_runtime::Call;
using fake_runtime::Fault;
using fake_runtime::Kind;

std::string Counter(const char* name) {
  const char* text = std::getenv(name);
  return text != nullptr ? text : "0";
}

TEST(ConnectRuntime, LoadsTheLibraryOnceAndKeepsIt) {
  ASSERT_FALSE(test_os::RuntimeLoaded());
  ASSERT_TRUE(ConnectRuntime());
  EXPECT_TRUE(test_os::RuntimeLoaded());
  EXPECT_TRUE(ConnectRuntime());
  EXPECT_TRUE(test_os::RuntimeLoaded());
}

TEST(NoLibraryConnect, FailsAndCanBeRetried) {
  EXPECT_FALSE(ConnectRuntime());
  EXPECT_FALSE(ConnectRuntime());
  EXPECT_FALSE(test_os::RuntimeLoaded());
}

TEST(NoEntryPointConnect, FailsAndUnloadsTheLibraryEveryTime) {
  for (int attempt = 1; attempt <= 3; ++attempt) {
    EXPECT_FALSE(ConnectRuntime());
    // Found and loaded (so the failure is the missing entry point), then unloaded again.
    EXPECT_EQ(Counter("FAKE_RUNTIME_LOADS"), std::to_string(attempt));
    EXPECT_EQ(Counter("FAKE_RUNTIME_UNLOADS"), std::to_string(attempt));
    EXPECT_FALSE(test_os::RuntimeLoaded());
  }
}

// A connected runtime link, with the calls made while connecting forgotten.
class RuntimeLinkTest : public FakeRuntimeTest {
 protected:
  void SetUp() override {
    FakeRuntimeTest::SetUp();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(ConnectRuntime());
    ForgetCalls();
  }

  // The block the entry point was handed in call `i`, as words.
  std::vector<std::uint16_t> In(std::size_t i) const {
    std::vector<std::uint16_t> words;
    const Call& call = runtime->calls.at(i);
    for (std::size_t offset = 0; offset < fake_runtime::kBlockSize; offset += 2) {
      words.push_back(static_cast<std::uint16_t>(call.in[offset] | (call.in[offset + 1] << 8)));
    }
    return words;
  }

  static std::vector<std::uint16_t> FetchBlock() { return {0x0B01, 2, 0, 0, 0, 0, 0, 0, 0}; }
};

TEST_F(RuntimeLinkTest, ProbeIsOneCallWithTheProbeBlock) {
  runtime->executor = true;
  EXPECT_TRUE(ProbeExecutor());
  ASSERT_EQ(runtime->calls.size(), 1u);
  EXPECT_EQ(In(0), (std::vector<std::uint16_t>{0x0B00, 2, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF, 0, 0}));
}

TEST_F(RuntimeLinkTest, ProbeAnswersNoForAnyNonzeroWord) {
  for (std::uint16_t word : {0x0001, 0x0100, 0x0B00, 0xFFFE, 0xFFFF}) {
    runtime->noExecutorWord = word;
    EXPECT_FALSE(ProbeExecutor()) << word;
  }
  runtime->executor = true;
  EXPECT_TRUE(ProbeExecutor());
}

TEST_F(RuntimeLinkTest, ReadHandsOverSubmitThenFetch) {
  SetVariable(7, 1000, 77);
  StatusCode status = 0xABCD;
  std::int32_t value = 0;
  EXPECT_TRUE(ReadVar(VarRef{7, 1000}, status, value));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(value, 77);
  ASSERT_EQ(runtime->calls.size(), 2u);
  EXPECT_EQ(In(0), (std::vector<std::uint16_t>{0x0B00, 2, 0, 7, 1000, 0, 0, 0, 0}));
  EXPECT_EQ(In(1), FetchBlock());
  EXPECT_TRUE(fake_clock::Sleeps().empty());
}

TEST_F(RuntimeLinkTest, WriteHandsOverSubmitThenFetch) {
  StatusCode status = 0xABCD;
  EXPECT_TRUE(WriteVar(VarRef{7, 1000}, 0x12345678, status));
  EXPECT_EQ(status, 0);
  ASSERT_EQ(runtime->calls.size(), 2u);
  EXPECT_EQ(In(0), (std::vector<std::uint16_t>{0x0B00, 2, 0, 0x0134, 1000, 0x1207, 0x5678, 0, 0}));
  EXPECT_EQ(In(1), FetchBlock());
}

struct RoundTrip {
  const char* reference;
  std::int32_t written;
  std::int32_t readBack;
};

class WriteThenRead : public RuntimeLinkTest, public testing::WithParamInterface<RoundTrip> {};

// The bridge's encoding against the fake runtime's own reading of the layout, both ways.
TEST_P(WriteThenRead, GivesBackWhatTheTypeHolds) {
  VarRef ref{};
  ASSERT_TRUE(ParseVarRef(GetParam().reference, ref));
  StatusCode status = 0xABCD;
  ASSERT_TRUE(WriteVar(ref, GetParam().written, status));
  std::int32_t value = 0x5A5A5A5A;
  ASSERT_TRUE(ReadVar(ref, status, value));
  EXPECT_EQ(value, GetParam().readBack);
}

INSTANTIATE_TEST_SUITE_P(
    Types, WriteThenRead,
    testing::Values(RoundTrip{"l1000", 0x12345678, 0x12345678}, RoundTrip{"l1000", -5, -5},
                    RoundTrip{"f2", INT32_MIN, INT32_MIN}, RoundTrip{"m1000", 7, 7},
                    RoundTrip{"m1000", -1, 65535}, RoundTrip{"c9", 0x12345678, 0x5678},
                    RoundTrip{"t3", 0x12345678, 0x5678}, RoundTrip{"b5", -1, 1},
                    RoundTrip{"u5", 3, 1}, RoundTrip{"i5", 0, 0}, RoundTrip{"o5", 1, 1}),
    NamedBy<RoundTrip>([](const RoundTrip& c) {
      return c.reference + std::string(" ") + std::to_string(c.written);
    }));

struct RawAnswer {
  int type;
  std::uint8_t byte6;
  std::uint16_t word10, word12;
  std::int32_t value;
};

class ReadAnswerThroughTheEntryPoint : public RuntimeLinkTest,
                                       public testing::WithParamInterface<RawAnswer> {};

TEST_P(ReadAnswerThroughTheEntryPoint, DecodesByTheSubmittedType) {
  Fault fault = ReadFault(GetParam().type, 1);
  fault.rawAnswer = true;
  fault.byte6 = GetParam().byte6;
  fault.word10 = GetParam().word10;
  fault.word12 = GetParam().word12;
  AddFault(fault);
  StatusCode status = 0xABCD;
  std::int32_t value = 0x5A5A5A5A;
  ASSERT_TRUE(ReadVar(VarRef{static_cast<VarType>(GetParam().type), 1}, status, value));
  EXPECT_EQ(value, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, ReadAnswerThroughTheEntryPoint,
    testing::Values(RawAnswer{5, 0, 0xFFFF, 0, 65535}, RawAnswer{3, 0, 0x0002, 0x0001, 0x00010002},
                    RawAnswer{7, 0, 0xFFFF, 0xFFFF, -1}, RawAnswer{2, 0, 0, 0, 1},
                    RawAnswer{2, 3, 0, 0, 0}),
    NamedBy<RawAnswer>([](const RawAnswer& c) { return "type" + std::to_string(c.type); }));

TEST_F(RuntimeLinkTest, CompletionWithAResultCodeStillDeliversTheValue) {
  SetVariable(5, 1000, 1);
  Fault fault = ReadFault(5, 1000);
  fault.resultCode = 5;
  AddFault(fault);
  StatusCode status = 0;
  std::int32_t value = 0;
  EXPECT_TRUE(ReadVar(VarRef{5, 1000}, status, value));
  EXPECT_EQ(status, 5);
  EXPECT_EQ(value, 1);
}

TEST_F(RuntimeLinkTest, WriteCompletionCarriesItsResultCode) {
  Fault fault = WriteFault(5, 1000);
  fault.resultCode = 255;
  AddFault(fault);
  StatusCode status = 0;
  EXPECT_TRUE(WriteVar(VarRef{5, 1000}, 2, status));
  EXPECT_EQ(status, 255);
}

TEST_F(RuntimeLinkTest, AnyAnswerButNotReadyIsACompletion) {
  for (std::uint16_t word : {0x0001, 0x0B01, 0xFFFE}) {
    Fault fault = WriteFault(5, 1000);
    fault.uses = 1;
    fault.readyWord = word;
    fault.resultCode = 3;
    AddFault(fault);
    StatusCode status = 0;
    EXPECT_TRUE(WriteVar(VarRef{5, 1000}, 2, status)) << word;
    EXPECT_EQ(status, 3) << word;
  }
}

struct Refusal {
  Kind kind;
  std::uint16_t word;
};

class RefusedSubmit : public RuntimeLinkTest, public testing::WithParamInterface<Refusal> {};

// The refusal word is the status as it stands, even where it looks like another outcome.
TEST_P(RefusedSubmit, PassesTheWordOnWithoutFetching) {
  Fault fault = GetParam().kind == Kind::ReadSubmit ? ReadFault(5, 1000) : WriteFault(5, 1000);
  fault.refusal = GetParam().word;
  AddFault(fault);
  SetVariable(5, 1000, 6);
  StatusCode status = 0;
  std::int32_t value = 0x5A5A5A5A;
  const bool completed = GetParam().kind == Kind::ReadSubmit
                             ? ReadVar(VarRef{5, 1000}, status, value)
                             : WriteVar(VarRef{5, 1000}, 1, status);
  EXPECT_FALSE(completed);
  EXPECT_EQ(status, GetParam().word);
  EXPECT_EQ(value, 0x5A5A5A5A);
  EXPECT_EQ(harness::FetchCount(*runtime), 0) << "fetched after a refusal";
  EXPECT_EQ(runtime->calls.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Words, RefusedSubmit,
    testing::Values(Refusal{Kind::ReadSubmit, 0x0100}, Refusal{Kind::ReadSubmit, 0xFFFE},
                    Refusal{Kind::ReadSubmit, 0xFFFF}, Refusal{Kind::ReadSubmit, 5},
                    Refusal{Kind::ReadSubmit, 0x0B00}, Refusal{Kind::WriteSubmit, 0x0100},
                    Refusal{Kind::WriteSubmit, 0xFFFE}, Refusal{Kind::WriteSubmit, 0xFFFF},
                    Refusal{Kind::WriteSubmit, 5}, Refusal{Kind::WriteSubmit, 1}),
    NamedBy<Refusal>([](const Refusal& c) {
      return (c.kind == Kind::ReadSubmit ? "read " : "write ") + std::to_string(c.word);
    }));

// Completion polling in virtual time: the tick count moves on by `step` ms at every reading.
class CompletionPolling : public RuntimeLinkTest {
 protected:
  std::uint32_t submittedAt = 0;

  void SetUp() override {
    RuntimeLinkTest::SetUp();
    onCall = [this](const Call& call) {
      if (call.kind == Kind::ReadSubmit || call.kind == Kind::WriteSubmit) {
        submittedAt = fake_clock::Now();
      }
    };
  }

  void NotReadyFor(int fetches) {
    Fault fault = ReadFault(5, 1000);
    fault.notReadyFetches = fetches;
    AddFault(fault);
  }

  bool Read(StatusCode& status, std::int32_t& value) {
    return ReadVar(VarRef{5, 1000}, status, value);
  }
};

TEST_F(CompletionPolling, ReadyAtOnceTakesOneFetch) {
  fake_clock::SetAutoAdvance(1);
  StatusCode status = 0xABCD;
  std::int32_t value = 0;
  EXPECT_TRUE(Read(status, value));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(harness::FetchCount(*runtime), 1);
}

TEST_F(CompletionPolling, KeepsFetchingUntilTheResultIsThere) {
  fake_clock::SetAutoAdvance(1);
  NotReadyFor(40);
  SetVariable(5, 1000, 9);
  StatusCode status = 0xABCD;
  std::int32_t value = 0;
  EXPECT_TRUE(Read(status, value));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(value, 9);
  EXPECT_EQ(harness::FetchCount(*runtime), 41);
  EXPECT_TRUE(fake_clock::Sleeps().empty());
}

// A runtime that never completes, on a clock that moves on by kStep at every reading: the wait
// reads the clock once after each fetch and fetches again at once, so a second holds exactly
// 1000 / kStep fetches, one after the other with nothing between them. A pause between fetches,
// or a second look at the clock, changes the count.
TEST_F(CompletionPolling, GivesUpAfterASecondOfFetchingWithoutPause) {
  constexpr std::uint32_t kStep = 10;
  fake_clock::SetAutoAdvance(kStep);
  NotReadyFor(-1);
  StatusCode status = 0;
  std::int32_t value = 0x5A5A5A5A;
  EXPECT_FALSE(Read(status, value));
  EXPECT_EQ(status, kStatusTimeout);
  EXPECT_EQ(value, 0x5A5A5A5A);
  EXPECT_EQ(harness::FetchCount(*runtime), static_cast<int>(1000 / kStep));
  ASSERT_EQ(runtime->calls.size(), 1 + 1000 / kStep);
  EXPECT_EQ(runtime->calls.front().kind, Kind::ReadSubmit);
  // The clock was read once at the accepted submit and once after every fetch.
  EXPECT_EQ(fake_clock::Now() - submittedAt, 1000u + kStep);
  EXPECT_TRUE(fake_clock::Sleeps().empty());
}

TEST_F(CompletionPolling, FetchesAtLeastOnceHoweverSlowTheClock) {
  fake_clock::SetAutoAdvance(5000);
  StatusCode status = 0xABCD;
  std::int32_t value = 0;
  EXPECT_TRUE(Read(status, value));
  EXPECT_EQ(harness::FetchCount(*runtime), 1);
}

TEST_F(CompletionPolling, SecondCountsFromTheAcceptedSubmit) {
  // A submit that keeps the runtime busy for a long time does not eat into the completion wait.
  onCall = [](const Call& call) {
    if (call.kind == Kind::ReadSubmit) fake_clock::Advance(3000);
  };
  fake_clock::SetAutoAdvance(10);
  NotReadyFor(20);
  StatusCode status = 0xABCD;
  std::int32_t value = 0;
  EXPECT_TRUE(Read(status, value));
  EXPECT_EQ(harness::FetchCount(*runtime), 21);
}

TEST_F(CompletionPolling, SurvivesTheTickCountWrap) {
  fake_clock::Reset(0xFFFFFF00u);
  fake_clock::SetAutoAdvance(10);
  NotReadyFor(-1);
  StatusCode status = 0;
  std::int32_t value = 0;
  EXPECT_FALSE(Read(status, value));
  EXPECT_EQ(status, kStatusTimeout);
  const std::uint32_t waited = fake_clock::Now() - submittedAt;
  EXPECT_GE(waited, 1000u);
  EXPECT_LE(waited, 1030u);
}

}  // namespace
