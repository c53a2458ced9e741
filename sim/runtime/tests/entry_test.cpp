// The simulated runtime's entry point against request blocks written out byte by byte: probe,
// reads and writes of every type, completion timing, the fault knobs, and hostile blocks.
#include <algorithm>
#include <chrono>
#include <iterator>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "raw_state.h"

namespace {

using raw::Block;
using raw::Call;
using raw::kFetch;
using raw::kReadM1000;
using raw::kWriteM1000Is2;
using raw::Word;
using Clock = std::chrono::steady_clock;

// clang-format off
const Block kProbe =
    {0x00, 0x0B, 0x02, 0x00, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
// clang-format on

class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override { raw::FreshState(); }

  // Submits, expects it accepted, and fetches until the result is there (at most 2 s).
  static Block Complete(const Block& submit) {
    EXPECT_EQ(Word(Call(submit), 0), 0u) << "submit refused";
    auto deadline = Clock::now() + std::chrono::seconds(2);
    Block answer = Call(kFetch);
    while (Word(answer, 0) == 0xFFFF && Clock::now() < deadline) answer = Call(kFetch);
    EXPECT_NE(Word(answer, 0), 0xFFFFu) << "no completion within 2 s";
    return answer;
  }
};

TEST_F(EntryTest, ProbeAnswersZeroOnlyWhileAnExecutorIsInstalled) {
  Block installed = Call(kProbe);
  EXPECT_EQ(installed, Block{}) << "installed: word 0 is 0 and the rest cleared";
  raw::Write(raw::kExecutor, 4, 0);
  Block absent = Call(kProbe);
  EXPECT_NE(Word(absent, 0), 0u);
  EXPECT_EQ(raw::Read(raw::kProbes, 8), 2u);
}

// One read block per type, index 1000, written out by hand: word 6 is the type code.
struct ReadCase {
  Block submit;
  int type;
};
// clang-format off
const ReadCase kReads[] = {
    {{0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x00, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 0, 0}, 0},
    {{0x00, 0x0B, 0x02, 0x00, 0, 0, 0x01, 0x00, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 0, 0}, 1},
    {{0x00, 0x0B, 0x02, 0x00, 0, 0, 0x02, 0x00, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 0, 0}, 2},
    {{0x00, 0x0B, 0x02, 0x00, 0, 0, 0x03, 0x00, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 0, 0}, 3},
    {{0x00, 0x0B, 0x02, 0x00, 0, 0, 0x04, 0x00, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 0, 0}, 4},
    {{0x00, 0x0B, 0x02, 0x00, 0, 0, 0x05, 0x00, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 0, 0}, 5},
    {{0x00, 0x0B, 0x02, 0x00, 0, 0, 0x06, 0x00, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 0, 0}, 6},
    {{0x00, 0x0B, 0x02, 0x00, 0, 0, 0x07, 0x00, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 0, 0}, 7},
};
// clang-format on

TEST_F(EntryTest, ReadAnswersEveryTypeWhereTheBlockLayoutPutsIt) {
  for (const ReadCase& c : kReads) {
    SCOPED_TRACE("type " + std::to_string(c.type));
    if (c.type <= 2) {
      raw::SetVar(c.type, 1000, 1);
      Block set = Complete(c.submit);
      EXPECT_EQ(set[6], 0) << "a set flag is a zero byte 6";
      raw::SetVar(c.type, 1000, 0);
      Block clear = Complete(c.submit);
      EXPECT_NE(clear[6], 0) << "a clear flag is a nonzero byte 6";
      EXPECT_EQ(Word(clear, 10), 0u);
    } else if (c.type == 4 || c.type == 5) {
      raw::SetVar(c.type, 1000, 0xFFFF);
      Block answer = Complete(c.submit);
      EXPECT_EQ(Word(answer, 10), 0xFFFFu);
      EXPECT_EQ(Word(answer, 12), 0u);
    } else {
      raw::SetVar(c.type, 1000, 0x00010002);
      Block answer = Complete(c.submit);
      EXPECT_EQ(Word(answer, 10), 0x0002u) << "low half";
      EXPECT_EQ(Word(answer, 12), 0x0001u) << "high half";
    }
  }
  EXPECT_EQ(raw::Read(raw::kReads, 8), 11u);
}

// Write blocks with their expected stored value and journal value.
struct WriteCase {
  const char* what;
  int type, index;
  std::uint32_t stored;
  std::int32_t journal;
  Block submit;
};
// clang-format off
const WriteCase kWrites[] = {
    {"L1000 := 0x12345678", 7, 1000, 0x12345678, 0x12345678,
     {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x34, 0x01, 0xE8, 0x03, 0x07, 0x12, 0x78, 0x56, 0, 0, 0, 0}},
    {"F5 := -1", 6, 5, 0xFFFFFFFF, -1,
     {0x00, 0x0B, 0x02, 0x00, 0, 0, 0xFF, 0x01, 0x05, 0x00, 0x06, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}},
    {"B7 := -1", 2, 7, 1, -1,
     {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x01, 0x07, 0x00, 0x02, 0x05, 0, 0, 0, 0, 0, 0}},
    {"B8 := 5", 2, 8, 1, 1,
     {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x01, 0x08, 0x00, 0x02, 0x01, 0, 0, 0, 0, 0, 0}},
    {"I9 := 1", 0, 9, 1, 1,
     {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x01, 0x09, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0}},
    {"O9999 := -1", 1, 9999, 1, -1,
     {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x01, 0x0F, 0x27, 0x01, 0x05, 0, 0, 0, 0, 0, 0}},
    {"M1000 := 0x12345678 (high half not sent)", 5, 1000, 0x5678, 0x5678,
     {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x01, 0xE8, 0x03, 0x05, 0x00, 0x78, 0x56, 0, 0, 0, 0}},
    {"C0 := 0x8001", 4, 0, 0x8001, 0x8001,
     {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x01, 0x00, 0x00, 0x04, 0x00, 0x01, 0x80, 0, 0, 0, 0}},
    {"L9999 := 0xA1B2C3D4", 7, 9999, 0xA1B2C3D4, static_cast<std::int32_t>(0xA1B2C3D4),
     {0x00, 0x0B, 0x02, 0x00, 0, 0, 0xB2, 0x01, 0x0F, 0x27, 0x07, 0xA1, 0xD4, 0xC3, 0, 0, 0, 0}},
};
// clang-format on

TEST_F(EntryTest, WriteStoresWhatTheBlockCarriesAndJournalsIt) {
  int seq = 0;
  for (const WriteCase& c : kWrites) {
    SCOPED_TRACE(c.what);
    Block answer = Complete(c.submit);
    EXPECT_EQ(Word(answer, 0), 0u);
    EXPECT_EQ(answer[7], 0) << "result code";
    EXPECT_EQ(raw::Var(c.type, c.index), c.stored);
    raw::Entry e = raw::JournalSlot(seq++);
    EXPECT_EQ(e.seq, static_cast<std::uint64_t>(seq));
    EXPECT_EQ(e.type, c.type);
    EXPECT_EQ(e.index, c.index);
    EXPECT_EQ(e.value, c.journal);
    EXPECT_EQ(e.result, 0);
  }
  EXPECT_EQ(raw::Read(raw::kJournalLast, 8), static_cast<std::uint64_t>(seq));
  EXPECT_EQ(raw::Read(raw::kWrites, 8), static_cast<std::uint64_t>(seq));
}

TEST_F(EntryTest, WritesOfZeroClearAndNeighboursStayUntouched) {
  raw::SetVar(2, 7, 1);
  raw::SetVar(2, 6, 1);
  raw::SetVar(2, 8, 1);
  Complete({0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x01, 0x07, 0x00, 0x02, 0x00, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(raw::Var(2, 7), 0u);
  EXPECT_EQ(raw::Var(2, 6), 1u);
  EXPECT_EQ(raw::Var(2, 8), 1u);
  raw::SetVar(5, 999, 0xAAAA);
  raw::SetVar(5, 1001, 0xBBBB);
  Complete(kWriteM1000Is2);
  EXPECT_EQ(raw::Var(5, 999), 0xAAAAu);
  EXPECT_EQ(raw::Var(5, 1000), 2u);
  EXPECT_EQ(raw::Var(5, 1001), 0xBBBBu);
}

TEST_F(EntryTest, SixteenBitWriteToATimerClearsItsHighHalf) {
  raw::SetVar(3, 1, 0x12345678);
  Complete(
      {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x01, 0x01, 0x00, 0x03, 0x00, 0xEF, 0xBE, 0, 0, 0, 0});
  EXPECT_EQ(raw::Var(3, 1), 0x0000BEEFu);
}

std::uint64_t WallMicros() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
}

// The completion comes no earlier than the delay, to the microsecond, and the timing journal
// tells the runtime's own time (the delay) from the time the caller took to fetch it.
TEST_F(EntryTest, FetchIsNotReadyUntilTheDelayHasPassed) {
  raw::Write(raw::kDelayMs, 4, 200);
  const std::uint64_t before_us = WallMicros();
  ASSERT_EQ(Word(Call(kWriteM1000Is2), 0), 0u);
  auto submitted = Clock::now();
  Block answer = Call(kFetch);
  std::uint32_t fetches = 1;
  EXPECT_EQ(Word(answer, 0), 0xFFFFu);
  EXPECT_EQ(raw::Var(5, 1000), 0u) << "a write takes effect at its completion";
  while (Word(answer, 0) == 0xFFFF && Clock::now() - submitted < std::chrono::seconds(3)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    answer = Call(kFetch);
    ++fetches;
  }
  auto waited = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - submitted);
  EXPECT_NE(Word(answer, 0), 0xFFFFu);
  EXPECT_GE(waited.count(), 199000);
  EXPECT_LT(waited.count(), 1000000);
  EXPECT_EQ(raw::Var(5, 1000), 2u);
  EXPECT_EQ(Word(Call(kFetch), 0), 0xFFFFu) << "a completion is fetched once";

  EXPECT_EQ(raw::Read(raw::kTimingLast, 8), 1u);
  raw::Timing t = raw::TimingSlot(0);
  EXPECT_EQ(t.seq, 1u);
  EXPECT_GE(t.submitted_us, before_us);
  EXPECT_LE(t.submitted_us, before_us + 100000);
  EXPECT_EQ(t.ready_us, 200000u);
  EXPECT_GE(t.fetched_us, 200000u);
  EXPECT_LE(t.fetched_us, waited.count() + 100000);
  EXPECT_EQ(t.fetches, fetches);
  EXPECT_EQ(t.write, 1);
  EXPECT_EQ(t.type, 5);
  EXPECT_EQ(t.index, 1000);
}

TEST_F(EntryTest, WithoutDelayTheFirstFetchCompletes) {
  ASSERT_EQ(Word(Call(kReadM1000), 0), 0u);
  EXPECT_NE(Word(Call(kFetch), 0), 0xFFFFu);
  EXPECT_EQ(raw::Read(raw::kFetches, 8), 1u);
  raw::Timing t = raw::TimingSlot(0);
  EXPECT_EQ(t.seq, 1u);
  EXPECT_EQ(t.ready_us, 0u);
  EXPECT_EQ(t.fetches, 1u);
  EXPECT_EQ(t.write, 0) << "a read";
  EXPECT_EQ(raw::Read(raw::kJournalLast, 8), 0u) << "the journal holds writes only";
}

TEST_F(EntryTest, NeverCompleteHoldsTheRequestUntilTurnedOff) {
  raw::Write(raw::kNever, 4, 1);
  ASSERT_EQ(Word(Call(kWriteM1000Is2), 0), 0u);
  auto start = Clock::now();
  int fetches = 0;
  while (Clock::now() - start < std::chrono::milliseconds(300)) {
    ASSERT_EQ(Word(Call(kFetch), 0), 0xFFFFu);
    ++fetches;
  }
  EXPECT_EQ(raw::Read(raw::kFetches, 8), static_cast<std::uint64_t>(fetches));
  EXPECT_EQ(raw::Var(5, 1000), 0u);
  EXPECT_EQ(raw::Read(raw::kJournalLast, 8), 0u);
  raw::Write(raw::kNever, 4, 0);
  EXPECT_NE(Word(Call(kFetch), 0), 0xFFFFu);
  EXPECT_EQ(raw::Var(5, 1000), 2u);
  // Held back past its delay, the result was there only at the fetch that found it.
  raw::Timing t = raw::TimingSlot(0);
  EXPECT_EQ(t.seq, 1u);
  EXPECT_EQ(t.ready_us, t.fetched_us);
  EXPECT_GE(t.fetched_us, 300000u);
  EXPECT_EQ(t.fetches, static_cast<std::uint32_t>(fetches + 1));
}

TEST_F(EntryTest, ResultCodeComesInByte7AndTheValueStillArrives) {
  raw::Write(raw::kResult, 4, 5);
  raw::SetVar(5, 1000, 0x1234);
  Block read = Complete(kReadM1000);
  EXPECT_EQ(read[7], 5);
  EXPECT_EQ(Word(read, 10), 0x1234u);
  raw::Write(raw::kResult, 4, 200);
  Block write = Complete(kWriteM1000Is2);
  EXPECT_EQ(write[7], 200);
  EXPECT_EQ(raw::Var(5, 1000), 2u);
  EXPECT_EQ(raw::JournalSlot(0).result, 200);
}

TEST_F(EntryTest, RefusalWordsAnswerTheSubmitAndNothingIsQueued) {
  raw::Write(raw::kRefuseRead, 4, 0x1234);
  EXPECT_EQ(Call(kReadM1000), (Block{0x34, 0x12}));
  EXPECT_EQ(Word(Call(kFetch), 0), 0xFFFFu);
  EXPECT_EQ(Word(Complete(kWriteM1000Is2), 0), 0u) << "writes are not refused";
  raw::Write(raw::kRefuseWrite, 4, 0xBEEF);
  raw::SetVar(5, 1000, 0);
  EXPECT_EQ(Call(kWriteM1000Is2), (Block{0xEF, 0xBE}));
  EXPECT_EQ(Word(Call(kFetch), 0), 0xFFFFu);
  EXPECT_EQ(raw::Var(5, 1000), 0u);
  EXPECT_EQ(raw::Read(raw::kReads, 8), 1u);
  EXPECT_EQ(raw::Read(raw::kWrites, 8), 2u);
}

TEST_F(EntryTest, BadBlocksAreRefusedWithoutTouchingAnyVariable) {
  // clang-format off
  const struct {
    const char* what;
    unsigned word;
    Block block;
  } kBad[] = {
      {"read index 10000", 0xE004,
       {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x05, 0x00, 0x10, 0x27, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"read type 8", 0xE003,
       {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x08, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"read type 255", 0xE003,
       {0x00, 0x0B, 0x02, 0x00, 0, 0, 0xFF, 0x00, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"write type 9", 0xE003,
       {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x01, 0x01, 0x00, 0x09, 0x00, 0x01, 0x00, 0, 0, 0, 0}},
      {"write index 0xFFFE", 0xE004,
       {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x01, 0xFE, 0xFF, 0x05, 0x00, 0x01, 0x00, 0, 0, 0, 0}},
      {"unknown command", 0xE001,
       {0x02, 0x0B, 0x02, 0x00, 0, 0, 0x05, 0x00, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"all zero", 0xE001,
       {}},
      {"word 2 not 2", 0xE002,
       {0x00, 0x0B, 0x03, 0x00, 0, 0, 0x05, 0x00, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"word 16 set", 0xE002,
       {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x05, 0x00, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 1, 0}},
      {"flag byte 0x02", 0xE002,
       {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x01, 0x07, 0x00, 0x02, 0x02, 0, 0, 0, 0, 0, 0}},
      {"M write with a high byte", 0xE002,
       {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x01, 0xE8, 0x03, 0x05, 0x12, 0x02, 0x00, 0, 0, 0, 0}},
      {"read with a value", 0xE002,
       {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x05, 0x00, 0xE8, 0x03, 0, 0, 0x02, 0x00, 0, 0, 0, 0}},
      {"read, word 6 high byte 2", 0xE002,
       {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x05, 0x02, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"write, word 6 high byte 2", 0xE002,
       {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x02, 0xE8, 0x03, 0x05, 0x00, 0x02, 0x00, 0, 0, 0, 0}},
      {"probe with a type", 0xE002,
       {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}},
      {"fetch with an index", 0xE002,
       {0x01, 0x0B, 0x02, 0x00, 0, 0, 0, 0, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  // clang-format on
  auto before = raw::Snapshot();
  for (const auto& c : kBad) {
    SCOPED_TRACE(c.what);
    Block answer = Call(c.block);
    EXPECT_EQ(Word(answer, 0), c.word);
    Block only_word0 = {static_cast<unsigned char>(c.word),
                        static_cast<unsigned char>(c.word >> 8)};
    EXPECT_EQ(answer, only_word0) << "everything but word 0 cleared";
    EXPECT_EQ(Word(Call(kFetch), 0), 0xFFFFu) << "nothing queued";
  }
  auto after = raw::Snapshot();
  ASSERT_EQ(after.size(), raw::kFileSize);
  EXPECT_TRUE(
      std::equal(before.begin() + raw::kJournal, before.end(), after.begin() + raw::kJournal));
  EXPECT_EQ(raw::Read(raw::kMalformed, 8), std::size(kBad));
}

// Random blocks, mostly with a valid command word so that they reach the decoding: nothing
// crashes, the file keeps its size and header, and every call is counted exactly once.
TEST_F(EntryTest, RandomBlocksAreEachAnsweredAndCountedOnce) {
  std::mt19937 random(12345);
  const int kCalls = 200000;
  for (int i = 0; i < kCalls; ++i) {
    Block b;
    for (auto& byte : b) byte = static_cast<unsigned char>(random());
    if (i % 4 != 0) {
      b[0] = static_cast<unsigned char>(random() % 2);
      b[1] = 0x0B;
      b[2] = 2;
      b[3] = 0;
    }
    if (i % 2 == 0) {
      b[4] = b[5] = b[14] = b[15] = b[16] = b[17] = 0;
      b[7] = static_cast<unsigned char>(random() % 3);
    }
    KoltEntryPoint(b.data());
  }
  std::uint64_t counted = 0;
  for (std::size_t at : {raw::kReads, raw::kWrites, raw::kFetches, raw::kProbes, raw::kMalformed}) {
    counted += raw::Read(at, 8);
  }
  EXPECT_EQ(counted, static_cast<std::uint64_t>(kCalls));
  EXPECT_GT(raw::Read(raw::kWrites, 8), 0u) << "the random blocks never reached a write";
  EXPECT_EQ(raw::Read(0, 4), 0x4D53384Bu);
  EXPECT_EQ(raw::Snapshot().size(), raw::kFileSize);
}

TEST_F(EntryTest, GarbageKnobScramblesEveryAnswer) {
  raw::Write(raw::kGarbage, 4, 1);
  int zero_answers = 0;
  Block first = Call(kProbe);
  bool varied = false;
  for (int i = 0; i < 32; ++i) {
    Block answer = Call(kProbe);
    zero_answers += answer == Block{};
    varied = varied || answer != first;
  }
  EXPECT_TRUE(varied);
  EXPECT_LT(zero_answers, 32);
  EXPECT_EQ(raw::Read(raw::kProbes, 8), 33u) << "the request is still served";
  raw::Write(raw::kGarbage, 4, 0);
  EXPECT_EQ(Call(kProbe), Block{});
}

TEST_F(EntryTest, JournalRingKeepsTheLast256WritesInOrder) {
  Block write = kWriteM1000Is2;
  for (unsigned value = 1; value <= 300; ++value) {
    write[12] = static_cast<unsigned char>(value & 0xFF);
    write[13] = static_cast<unsigned char>(value >> 8);
    Complete(write);
  }
  EXPECT_EQ(raw::Read(raw::kJournalLast, 8), 300u);
  raw::Entry oldest = raw::JournalSlot(0);  // seq 257 took the slot of seq 1
  EXPECT_EQ(oldest.seq, 257u);
  EXPECT_EQ(oldest.value, 257);
  raw::Entry newest = raw::JournalSlot(43);  // (300 - 1) % 256
  EXPECT_EQ(newest.seq, 300u);
  EXPECT_EQ(newest.value, 300);
  EXPECT_GE(newest.time_us, oldest.time_us);
  auto now_us = std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count();
  EXPECT_LE(newest.time_us, static_cast<std::uint64_t>(now_us));
  EXPECT_GT(newest.time_us + 10'000'000, static_cast<std::uint64_t>(now_us));
}

}  // namespace
