// The scriptable runtime of the tests. The unit tests build it as a real shared library,
// libkolt8.so (kolt8.dll), in a folder of its own, loaded by the bridge through the ordinary
// library search; the fuzz targets link it in and hand its entry point to the bridge. It keeps the
// runtime's variables, answers the probe, and completes, delays or refuses requests as a test
// scripts it; it records the blocks it is handed, as received and as answered.
//
// It reads the block from the block's own layout, never through the bridge's encoder, so that a
// misunderstanding of the layout shows up as a failing test instead of cancelling out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace fake_runtime {

constexpr std::size_t kBlockSize = 18;
constexpr std::size_t kCallsKept = 4096;

enum class Kind { ReadSubmit, WriteSubmit, Probe, Fetch, Unknown };

struct Call {
  std::uint8_t in[kBlockSize];
  std::uint8_t out[kBlockSize];
  Kind kind;
  int type;            // submits: the variable's type code
  int index;           // submits: the variable's index
  std::int32_t value;  // write submits: the value as the runtime understood it
};

// How the runtime treats the submits that match; the first matching fault with uses left wins,
// and a submit that matches none is accepted and completes at the first fetch with code 0.
struct Fault {
  Kind kind = Kind::WriteSubmit;
  int type = -1;            // -1: any
  int index = -1;           // -1: any
  bool matchValue = false;  // writes: only those of `value`
  std::int32_t value = 0;
  int uses = -1;              // matching submits it still applies to; -1: all of them
  std::uint16_t refusal = 0;  // nonzero: the submit is refused with this word
  int notReadyFetches = 0;    // fetches answered "no result yet" first; -1: never completes
  std::uint8_t resultCode = 0;
  std::uint16_t readyWord = 0;  // word 0 of the completion (anything but 0xFFFF means ready)
  // A read completion carrying these answer bytes instead of the stored value.
  bool rawAnswer = false;
  std::uint8_t byte6 = 0;
  std::uint16_t word10 = 0;
  std::uint16_t word12 = 0;
};

struct State {
  bool executor = false;
  std::uint16_t noExecutorWord = 1;       // word 0 of a probe answered while none is installed
  std::map<int, std::int32_t> variables;  // key: type * 10000 + index
  std::vector<Fault> faults;
  // The first calls, as handed over and as answered; a completion wait that never ends makes
  // millions of fetches, which are counted but not kept.
  std::vector<Call> calls;
  std::uint64_t fetches = 0;
  // Called after every call has been answered, on the caller's thread.
  void (*observer)(const Call& call, void* context) = nullptr;
  void* observerContext = nullptr;
};

inline int VariableKey(int type, int index) {
  return type * 10000 + index;
}

// The block's 16-bit words, little-endian, as the runtime reads and writes them.
inline std::uint16_t Word(const std::uint8_t* block, int offset) {
  return static_cast<std::uint16_t>(block[offset] | (block[offset + 1] << 8));
}
inline void SetWord(std::uint8_t* block, int offset, std::uint16_t word) {
  block[offset] = static_cast<std::uint8_t>(word & 0xFF);
  block[offset + 1] = static_cast<std::uint8_t>(word >> 8);
}

// Writes a read's answer into `block` as the runtime does, touching only the answer's bytes: a
// flag in byte 6, zero when the flag is set; C and M in word 10; T, F and L with the low half in
// word 10 and the high half in word 12.
void EncodeReadAnswer(int type, std::int32_t value, std::uint8_t* block);

}  // namespace fake_runtime

extern "C" fake_runtime::State* FakeRuntimeState();
