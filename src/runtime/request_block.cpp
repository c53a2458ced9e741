// The 18-byte request block: what each submit, probe and fetch puts in it, and how a read's
// answer is taken out. Nine little-endian words, set and read byte by byte, so that the layout is
// the same on every compiler and bitness.
#include <cstring>

#include "runtime/runtime_link.h"

namespace {

constexpr std::uint16_t kCommandSubmit = 0x0B00;
constexpr std::uint16_t kCommandFetch = 0x0B01;

void SetWord(RuntimeRequest& block, std::size_t offset, std::uint16_t word) {
  block.bytes[offset] = static_cast<std::uint8_t>(word & 0xFFu);
  block.bytes[offset + 1] = static_cast<std::uint8_t>(word >> 8);
}

void BeginBlock(RuntimeRequest& block, std::uint16_t command) {
  std::memset(block.bytes, 0, sizeof block.bytes);
  SetWord(block, 0, command);
  SetWord(block, 2, 2);
}

}  // namespace

std::uint16_t RequestWord(const RuntimeRequest& block, std::size_t offset) {
  return static_cast<std::uint16_t>(block.bytes[offset] | (block.bytes[offset + 1] << 8));
}

void EncodeReadSubmit(RuntimeRequest& block, const VarRef& ref) {
  BeginBlock(block, kCommandSubmit);
  SetWord(block, 6, ref.type);
  SetWord(block, 8, ref.index);
}

void EncodeWriteSubmit(RuntimeRequest& block, const VarRef& ref, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  std::uint16_t word6 = 0x0100;
  std::uint16_t word10 = ref.type;
  std::uint16_t word12 = 0;
  if (ref.type <= 2) {
    // Flags travel as a marker in the high byte: 5 for -1 (true as the runtime writes it), 1 for
    // any other nonzero value.
    if (value == -1) {
      word10 |= 0x0500;
    } else if (value != 0) {
      word10 |= 0x0100;
    }
  } else if (ref.type <= 5) {
    word12 = static_cast<std::uint16_t>(bits & 0xFFFFu);
  } else if (ref.type <= 7) {
    word12 = static_cast<std::uint16_t>(bits & 0xFFFFu);
    word6 = static_cast<std::uint16_t>(word6 | ((bits >> 16) & 0xFFu));
    word10 = static_cast<std::uint16_t>(word10 | (((bits >> 24) & 0xFFu) << 8));
  }
  BeginBlock(block, kCommandSubmit);
  SetWord(block, 6, word6);
  SetWord(block, 8, ref.index);
  SetWord(block, 10, word10);
  SetWord(block, 12, word12);
}

void EncodeProbe(RuntimeRequest& block) {
  BeginBlock(block, kCommandSubmit);
  SetWord(block, 8, 0xFFFF);
  SetWord(block, 10, 0xFFFF);
  SetWord(block, 12, 0xFFFF);
}

void EncodeFetch(RuntimeRequest& block) {
  BeginBlock(block, kCommandFetch);
}

void DecodeReadAnswer(const RuntimeRequest& block, VarType type, std::int32_t& value) {
  if (type <= 2) {
    // The runtime answers a set flag with a zero byte.
    value = block.bytes[6] == 0 ? 1 : 0;
  } else if (type == 4 || type == 5) {
    value = RequestWord(block, 10);
  } else if (type <= 7) {
    const std::uint32_t bits =
        (static_cast<std::uint32_t>(RequestWord(block, 12)) << 16) | RequestWord(block, 10);
    value = static_cast<std::int32_t>(bits);
  }
}
