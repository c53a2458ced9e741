// Read answers from the runtime: any 18 bytes, any type code. The value the bridge decodes must
// come back as the same answer when the tests' runtime encodes it (fake_runtime.h: written from
// the block's layout, never taken from the bridge), decoding must be stable, and a type
// above 7 must leave the value alone.
#include <cstring>

#include "fake_runtime.h"
#include "fuzz_check.h"
#include "runtime/runtime_link.h"

using fake_runtime::Word;

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

  std::uint8_t again[kRequestSize] = {};
  fake_runtime::EncodeReadAnswer(type, value, again);
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

  // What the tests' runtime answers reads back as the value it was given.
  RuntimeRequest encoded{};
  std::memcpy(encoded.bytes, again, kRequestSize);
  std::int32_t back = ~value;
  DecodeReadAnswer(encoded, type, back);
  FUZZ_CHECK(back == value, "type %d: %d encoded and decoded gives %d", type, value, back);
  return 0;
}
