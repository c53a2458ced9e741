// The 18-byte request block: what each operation puts in it, and how a read's answer is decoded.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>

#include "case_names.h"
#include "runtime/runtime_link.h"

namespace {

using Words = std::array<std::uint16_t, 9>;

// The block read back as nine little-endian words, independently of the bridge's own reader.
Words WordsOf(const RuntimeRequest& block) {
  Words words{};
  for (std::size_t i = 0; i < words.size(); ++i) {
    words[i] = static_cast<std::uint16_t>(block.bytes[2 * i] | (block.bytes[2 * i + 1] << 8));
  }
  return words;
}

// A block full of stale bytes, as the single process-wide block is between requests.
RuntimeRequest Stale() {
  RuntimeRequest block;
  std::memset(block.bytes, 0xA5, sizeof block.bytes);
  return block;
}

TEST(RequestBlock, IsLittleEndianByteForByte) {
  RuntimeRequest block = Stale();
  EncodeReadSubmit(block, VarRef{5, 1000});
  const std::uint8_t expected[kRequestSize] = {0x00, 0x0B, 0x02, 0x00, 0x00, 0x00,
                                               0x05, 0x00, 0xE8, 0x03, 0x00, 0x00,
                                               0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(0, std::memcmp(block.bytes, expected, kRequestSize));
  EXPECT_EQ(RequestWord(block, 8), 1000);
}

TEST(RequestBlock, ProbeAsksWithThreeAllOnesWords) {
  RuntimeRequest block = Stale();
  EncodeProbe(block);
  EXPECT_EQ(WordsOf(block), (Words{0x0B00, 2, 0, 0, 0xFFFF, 0xFFFF, 0xFFFF, 0, 0}));
}

TEST(RequestBlock, FetchCarriesOnlyItsCommand) {
  RuntimeRequest block = Stale();
  EncodeFetch(block);
  EXPECT_EQ(WordsOf(block), (Words{0x0B01, 2, 0, 0, 0, 0, 0, 0, 0}));
}

class ReadSubmitBlock : public testing::TestWithParam<int> {};

TEST_P(ReadSubmitBlock, NamesTypeAndIndex) {
  const auto type = static_cast<VarType>(GetParam());
  RuntimeRequest block = Stale();
  EncodeReadSubmit(block, VarRef{type, 9999});
  EXPECT_EQ(WordsOf(block), (Words{0x0B00, 2, 0, type, 9999, 0, 0, 0, 0}));
}

INSTANTIATE_TEST_SUITE_P(EveryType, ReadSubmitBlock, testing::Range(0, 8));

struct WriteCase {
  VarRef ref;
  std::int32_t value;
  std::uint16_t word6, word10, word12;
};

void PrintTo(const WriteCase& c, std::ostream* os) {
  *os << "type " << int{c.ref.type} << " index " << c.ref.index << " value " << c.value;
}

class WriteSubmitBlock : public testing::TestWithParam<WriteCase> {};

TEST_P(WriteSubmitBlock, CarriesTheValueAsItsTypeWants) {
  const WriteCase& c = GetParam();
  RuntimeRequest block = Stale();
  EncodeWriteSubmit(block, c.ref, c.value);
  EXPECT_EQ(WordsOf(block), (Words{0x0B00, 2, 0, c.word6, c.ref.index, c.word10, c.word12, 0, 0}));
}

// 0x12345678 written to every type.
INSTANTIATE_TEST_SUITE_P(EveryType, WriteSubmitBlock,
                         testing::Values(WriteCase{{0, 1000}, 0x12345678, 0x0100, 0x0100, 0},
                                         WriteCase{{1, 1000}, 0x12345678, 0x0100, 0x0101, 0},
                                         WriteCase{{2, 1000}, 0x12345678, 0x0100, 0x0102, 0},
                                         // T goes over as 16 bits, though it reads back as 32
                                         WriteCase{{3, 1000}, 0x12345678, 0x0100, 0x0003, 0x5678},
                                         WriteCase{{4, 1000}, 0x12345678, 0x0100, 0x0004, 0x5678},
                                         // the high half of a 16-bit variable's value is not sent
                                         WriteCase{{5, 1000}, 0x12345678, 0x0100, 0x0005, 0x5678},
                                         WriteCase{{6, 1000}, 0x12345678, 0x0134, 0x1206, 0x5678},
                                         WriteCase{{7, 1000}, 0x12345678, 0x0134, 0x1207, 0x5678}),
                         NamedByPrinting<WriteCase>());

// Flags: a marker for -1, another for any other nonzero value, none for 0.
INSTANTIATE_TEST_SUITE_P(Flags, WriteSubmitBlock,
                         testing::Values(WriteCase{{2, 7}, -1, 0x0100, 0x0502, 0},
                                         WriteCase{{2, 7}, 5, 0x0100, 0x0102, 0},
                                         WriteCase{{2, 7}, 0, 0x0100, 0x0002, 0},
                                         WriteCase{{2, 7}, 1, 0x0100, 0x0102, 0},
                                         WriteCase{{2, 7}, -2, 0x0100, 0x0102, 0},
                                         WriteCase{{2, 7}, INT32_MIN, 0x0100, 0x0102, 0},
                                         WriteCase{{0, 7}, -1, 0x0100, 0x0500, 0},
                                         WriteCase{{1, 7}, 0, 0x0100, 0x0001, 0}),
                         NamedByPrinting<WriteCase>());

INSTANTIATE_TEST_SUITE_P(Widths, WriteSubmitBlock,
                         testing::Values(WriteCase{{7, 1000}, -1, 0x01FF, 0xFF07, 0xFFFF},
                                         WriteCase{{7, 1000}, 0, 0x0100, 0x0007, 0},
                                         WriteCase{{6, 3}, INT32_MIN, 0x0100, 0x8006, 0},
                                         WriteCase{{7, 0}, 0x00FF0000, 0x01FF, 0x0007, 0},
                                         WriteCase{{5, 1000}, -1, 0x0100, 0x0005, 0xFFFF},
                                         WriteCase{{3, 1}, -1, 0x0100, 0x0003, 0xFFFF},
                                         WriteCase{{4, 9999}, 0x10000, 0x0100, 0x0004, 0}),
                         NamedByPrinting<WriteCase>());

// A type the parser never produces keeps only the fields every write has.
INSTANTIATE_TEST_SUITE_P(BeyondTheTable, WriteSubmitBlock,
                         testing::Values(WriteCase{{8, 7}, 0x12345678, 0x0100, 0x0008, 0},
                                         WriteCase{{8, 7}, -1, 0x0100, 0x0008, 0}),
                         NamedByPrinting<WriteCase>());

// An answer block as the runtime fills it after a fetch.
RuntimeRequest Answer(std::uint8_t byte6, std::uint16_t word10, std::uint16_t word12,
                      std::uint8_t resultCode = 0) {
  RuntimeRequest block{};
  block.bytes[6] = byte6;
  block.bytes[7] = resultCode;
  block.bytes[10] = static_cast<std::uint8_t>(word10);
  block.bytes[11] = static_cast<std::uint8_t>(word10 >> 8);
  block.bytes[12] = static_cast<std::uint8_t>(word12);
  block.bytes[13] = static_cast<std::uint8_t>(word12 >> 8);
  return block;
}

struct DecodeCase {
  int type;
  RuntimeRequest answer;
  std::int32_t value;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
  const Words w = WordsOf(c.answer);
  *os << "type " << c.type << " byte6 " << int{c.answer.bytes[6]} << " word10 " << w[5]
      << " word12 " << w[6];
}

class ReadAnswer : public testing::TestWithParam<DecodeCase> {};

TEST_P(ReadAnswer, Decodes) {
  std::int32_t value = 0x5A5A5A5A;
  DecodeReadAnswer(GetParam().answer, static_cast<VarType>(GetParam().type), value);
  EXPECT_EQ(value, GetParam().value);
}

// A flag reads from byte 6 alone, and a zero byte means set.
INSTANTIATE_TEST_SUITE_P(
    Flags, ReadAnswer,
    testing::Values(DecodeCase{0, Answer(0, 0, 0), 1}, DecodeCase{1, Answer(0, 0, 0), 1},
                    DecodeCase{2, Answer(0, 0, 0), 1}, DecodeCase{2, Answer(1, 0, 0), 0},
                    DecodeCase{2, Answer(0xFF, 0, 0), 0}, DecodeCase{0, Answer(0x80, 1, 1), 0},
                    DecodeCase{1, Answer(0, 0xFFFF, 0xFFFF, 5), 1}),
    NamedByPrinting<DecodeCase>());

INSTANTIATE_TEST_SUITE_P(Words16, ReadAnswer,
                         testing::Values(DecodeCase{5, Answer(0, 0xFFFF, 0), 65535},
                                         DecodeCase{4, Answer(0, 0xFFFF, 0), 65535},
                                         DecodeCase{5, Answer(0xFF, 0x1234, 0xFFFF), 0x1234}),
                         NamedByPrinting<DecodeCase>());

INSTANTIATE_TEST_SUITE_P(Words32, ReadAnswer,
                         testing::Values(DecodeCase{3, Answer(0, 0x0002, 0x0001), 0x00010002},
                                         DecodeCase{6, Answer(0, 0x0002, 0x0001), 0x00010002},
                                         DecodeCase{7, Answer(0, 0x5678, 0x1234), 0x12345678},
                                         DecodeCase{7, Answer(0, 0xFFFF, 0xFFFF), -1},
                                         DecodeCase{7, Answer(0, 0, 0x8000), INT32_MIN}),
                         NamedByPrinting<DecodeCase>());

INSTANTIATE_TEST_SUITE_P(BeyondTheTable, ReadAnswer,
                         testing::Values(DecodeCase{8, Answer(0, 1, 1), 0x5A5A5A5A},
                                         DecodeCase{255, Answer(1, 1, 1), 0x5A5A5A5A}),
                         NamedByPrinting<DecodeCase>());

}  // namespace
