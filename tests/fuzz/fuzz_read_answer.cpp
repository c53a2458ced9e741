// Read answers from the runtime: any 18 bytes, any type code. The value the bridge decodes must
// come back as the same answer when the simulated runtime encodes it (that encoding is written out
// here from the block's layout, never taken from the bridge), decoding must be stable, and a type
// above 7 must leave the value alone.
#include <cstring>

#include "fuzz_check.h"
#include "runtime/runtime_link.h"

namespace {

std::uint16_t Word(const std::uint8_t* block, int offset) {
  return static_cast<std::uint16_t>(block[offset] | (block[offset + 1] << 8));
}

void PutWord(std::uint8_t* block, int offset, std::uint16_t word) {
  block[offset] = static_cast<std::uint8_t>(word & 0xFF);
  block[offset + 1] = static_cast<std::uint8_t>(word >> 8);
}

// How the simulated runtime answers a read: a flag in byte 6, zero when the flag is set; C and M
// in word 10; T, F and L with the low half in word 10 and the high half in word 12.
void EncodeAnswer(int type, std::int32_t value, std::uint8_t* block) {
  std::memset(block, 0, kRequestSize);
  const auto bits = static_cast<std::uint32_t>(value);
  if (type <= 2) {
    block[6] = bits != 0 ? 0 : 1;
  } else {
    PutWord(block, 10, static_cast<std::uint16_t>(bits & 0xFFFF));
    if (type == 3 || type >= 6) PutWord(block, 12, static_cast<std::uint16_t>(bits >> 16));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Input: the 18 answer bytes, the type code, the value held before the read; short inputs are
  // padded with zeros.
  std::uint8_t input[kRequestSize + 5] = {};
  std::memcpy(input, data, size < sizeof input ? size : sizeof input);
  RuntimeRequest block{};
  std::memcpy(block.bytes, input, kRequestSize);
  const VarType type = input[kRequestSize];
  std::int32_t before = 0;
  std::memcpy(&before, input + kRequestSize + 1, sizeof before);

  std::int32_t value = before;
  DecodeReadAnswer(block, type, value);
  if (type > 7) {
    FUZZ_CHECK(value == before, "type %d changed the value %d to %d", type, before, value);
    return 0;
  }

  std::uint8_t again[kRequestSize];
  EncodeAnswer(type, value, again);
  if (type <= 2) {
    FUZZ_CHECK(value == 0 || value == 1, "flag read as %d", value);
    FUZZ_CHECK((again[6] == 0) == (block.bytes[6] == 0), "flag byte %02x read as %d",
               block.bytes[6], value);
  } else {
    FUZZ_CHECK(Word(again, 10) == Word(block.bytes, 10), "type %d: word 10 %04x read as %d", type,
               Word(block.bytes, 10), value);
    if (type == 4 || type == 5) {
      FUZZ_CHECK(value >= 0 && value <= 0xFFFF, "16-bit type %d read as %d", type, value);
    } else {
      FUZZ_CHECK(Word(again, 12) == Word(block.bytes, 12), "type %d: word 12 %04x read as %d", type,
                 Word(block.bytes, 12), value);
    }
  }

  // What the simulated runtime answers reads back as the value it was given.
  RuntimeRequest encoded{};
  std::memcpy(encoded.bytes, again, kRequestSize);
  std::int32_t back = ~value;
  DecodeReadAnswer(encoded, type, back);
  FUZZ_CHECK(back == value, "type %d: %d encoded and decoded gives %d", type, value, back);
  return 0;
}
