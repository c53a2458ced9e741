// The simulated runtime's entry point: decodes each request block byte by byte, answers probes,
// read and write submits and fetches from the shared state, and keeps the one outstanding request.
#include <cstdint>
#include <cstring>

#include "kolt8_export.h"
#include "sim_os.h"
#include "sim_state.h"

namespace {

constexpr int kBlockSize = 18;
constexpr std::uint16_t kSubmit = 0x0B00;
constexpr std::uint16_t kFetch = 0x0B01;
constexpr std::uint16_t kNotReady = 0xFFFF;

// Our refusal words; the bridge passes any of them on as its status, so each names one fault.
constexpr std::uint16_t kNoExecutor = 0x0001;
constexpr std::uint16_t kUnknownCommand = 0xE001;
constexpr std::uint16_t kMalformed = 0xE002;
constexpr std::uint16_t kBadType = 0xE003;
constexpr std::uint16_t kBadIndex = 0xE004;
constexpr std::uint16_t kNoState = 0xE0FF;

// The request submitted last and not fetched yet. It belongs to this process, like the real
// runtime's one request per caller; a new submit replaces it unanswered.
struct Pending {
  bool active;
  bool write;
  int type;
  int index;
  std::int32_t value;
  std::uint64_t submitted_us;       // monotonic, for the delay
  std::uint64_t submitted_wall_us;  // for the timing journal
  std::uint32_t fetches;
  bool held;  // the never knob kept it back after its delay had passed
};
Pending g_pending = {};
std::uint64_t g_noise = 0;

std::uint16_t Word(const unsigned char* b, int at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

void PutWord(unsigned char* b, int at, std::uint16_t w) {
  b[at] = static_cast<unsigned char>(w & 0xFF);
  b[at + 1] = static_cast<unsigned char>(w >> 8);
}

// Every answer starts from a cleared block so that nothing of the request reads as an answer.
void Answer(unsigned char* b, std::uint16_t word0) {
  std::memset(b, 0, kBlockSize);
  PutWord(b, 0, word0);
}

void Refuse(unsigned char* b, std::uint16_t word) {
  simrt::BumpCounter(simrt::kCountMalformed);
  Answer(b, word);
}

// Checks type and index shared by reads and writes; answers the refusal word, or 0.
std::uint16_t CheckTarget(int type, int index) {
  if (type >= simrt::kTypeCount) return kBadType;
  if (index >= simrt::kIndexCount) return kBadIndex;
  return 0;
}

void Accept(unsigned char* b, bool write, int type, int index, std::int32_t value) {
  g_pending = {};
  g_pending.active = true;
  g_pending.write = write;
  g_pending.type = type;
  g_pending.index = index;
  g_pending.value = value;
  g_pending.submitted_us = simos::MonotonicMicros();
  g_pending.submitted_wall_us = simos::WallClockMicros();
  Answer(b, 0);
}

void SubmitRead(unsigned char* b) {
  int type = Word(b, 6), index = Word(b, 8);
  if (std::uint16_t bad = CheckTarget(type, index)) return Refuse(b, bad);
  if (Word(b, 10) != 0 || Word(b, 12) != 0) return Refuse(b, kMalformed);
  simrt::BumpCounter(simrt::kCountReads);
  if (std::uint32_t refusal = simrt::LoadKnob(simrt::kKnobRefuseRead)) {
    return Answer(b, static_cast<std::uint16_t>(refusal));
  }
  Accept(b, false, type, index, 0);
}

// The value as the block carries it: a flag as -1, 1 or 0, T, C and M as 16 bits, F and L as
// 32 bits assembled from three places.
void SubmitWrite(unsigned char* b) {
  int type = b[10], index = Word(b, 8);
  unsigned high = b[11], mid = b[6];
  std::uint16_t low = Word(b, 12);
  if (std::uint16_t bad = CheckTarget(type, index)) return Refuse(b, bad);
  std::int32_t value = 0;
  if (type <= 2) {
    bool flag_byte = high == 0x00 || high == 0x01 || high == 0x05;
    if (mid != 0 || low != 0 || !flag_byte) return Refuse(b, kMalformed);
    value = high == 0x05 ? -1 : (high == 0x01 ? 1 : 0);
  } else if (type <= 5) {
    if (mid != 0 || high != 0) return Refuse(b, kMalformed);
    value = low;
  } else {
    value = static_cast<std::int32_t>((high << 24) | (mid << 16) | low);
  }
  simrt::BumpCounter(simrt::kCountWrites);
  if (std::uint32_t refusal = simrt::LoadKnob(simrt::kKnobRefuseWrite)) {
    return Answer(b, static_cast<std::uint16_t>(refusal));
  }
  Accept(b, true, type, index, value);
}

void Probe(unsigned char* b) {
  if (Word(b, 6) != 0 || Word(b, 10) != 0xFFFF || Word(b, 12) != 0xFFFF) {
    return Refuse(b, kMalformed);
  }
  simrt::BumpCounter(simrt::kCountProbes);
  Answer(b, simrt::LoadKnob(simrt::kKnobExecutor) != 0 ? 0 : kNoExecutor);
}

// Word 6 tells a write (0x01 in its high byte) from a read (the type code alone); a probe is
// the one submit with 0xFFFF where an index would be.
void Submit(unsigned char* b) {
  if (Word(b, 8) == 0xFFFF) return Probe(b);
  if (b[7] == 0x01) return SubmitWrite(b);
  if (b[7] == 0x00) return SubmitRead(b);
  Refuse(b, kMalformed);
}

// Read answers: a flag as byte 6, zero when the flag is set; C and M in word 10; T, F and L with
// the low half in word 10 and the high half in word 12.
void EncodeRead(unsigned char* b, int type, std::uint32_t bits) {
  if (type <= 2) {
    b[6] = bits != 0 ? 0 : 1;
  } else {
    PutWord(b, 10, static_cast<std::uint16_t>(bits & 0xFFFF));
    if (simrt::TypeWidth(type) == 4) PutWord(b, 12, static_cast<std::uint16_t>(bits >> 16));
  }
}

std::uint32_t ClampedMicros(std::uint64_t us) {
  return us > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(us);
}

// When the request was submitted, when its result was there to be fetched and when it was: what
// the caller took beyond the runtime's own time is the difference of the last two.
void RecordTiming(std::uint64_t elapsed_us, std::uint64_t delay_us) {
  simrt::TimingEntry entry = {};
  entry.submitted_us = g_pending.submitted_wall_us;
  // Held back by the never knob, the result was there only once the knob was off, at some moment
  // since the last fetch: this one is the nearest known.
  entry.ready_us = ClampedMicros(g_pending.held ? elapsed_us : delay_us);
  entry.fetched_us = ClampedMicros(elapsed_us);
  entry.fetches = g_pending.fetches;
  entry.index = static_cast<std::uint16_t>(g_pending.index);
  entry.type = static_cast<std::uint8_t>(g_pending.type);
  entry.write = g_pending.write ? 1 : 0;
  simrt::AppendTiming(entry);
}

// A write takes effect here, when its completion is fetched, not at the submit: a write that
// never completes never changes the variable, as with a runtime that lost it.
void Fetch(unsigned char* b) {
  for (int at = 4; at < kBlockSize; at += 2) {
    if (Word(b, at) != 0) return Refuse(b, kMalformed);
  }
  simrt::BumpCounter(simrt::kCountFetches);
  if (!g_pending.active) return Answer(b, kNotReady);
  ++g_pending.fetches;
  // Microseconds, so that a completion is never due early by a fraction of a millisecond.
  const std::uint64_t delay_us = std::uint64_t{simrt::LoadKnob(simrt::kKnobDelayMs)} * 1000u;
  const std::uint64_t elapsed_us = simos::MonotonicMicros() - g_pending.submitted_us;
  if (simrt::LoadKnob(simrt::kKnobNever) != 0) {
    g_pending.held = g_pending.held || elapsed_us >= delay_us;
    return Answer(b, kNotReady);
  }
  if (elapsed_us < delay_us) return Answer(b, kNotReady);
  g_pending.active = false;
  RecordTiming(elapsed_us, delay_us);
  auto result = static_cast<std::uint8_t>(simrt::LoadKnob(simrt::kKnobResult));
  Answer(b, 0);
  b[7] = result;
  if (!g_pending.write) {
    return EncodeRead(b, g_pending.type, simrt::LoadVar(g_pending.type, g_pending.index));
  }
  simrt::StoreVar(g_pending.type, g_pending.index, static_cast<std::uint32_t>(g_pending.value));
  simrt::JournalEntry entry = {};
  entry.value = g_pending.value;
  entry.index = static_cast<std::uint16_t>(g_pending.index);
  entry.type = static_cast<std::uint8_t>(g_pending.type);
  entry.result = result;
  simrt::AppendJournal(entry);
}

// xorshift64: fault tests want bytes that look random, not a good generator.
void Scramble(unsigned char* b) {
  if (g_noise == 0) g_noise = simos::WallClockMicros() | 1;
  for (int at = 0; at < kBlockSize; ++at) {
    g_noise ^= g_noise << 13;
    g_noise ^= g_noise >> 7;
    g_noise ^= g_noise << 17;
    b[at] = static_cast<unsigned char>(g_noise >> 32);
  }
}

}  // namespace

extern "C" KOLT8_EXPORT void KOLT8_CALL KoltEntryPoint(void* block) {
  if (block == nullptr) return;
  auto* b = static_cast<unsigned char*>(block);
  if (!simrt::OpenState()) return Answer(b, kNoState);
  if (Word(b, 2) != 2 || Word(b, 4) != 0 || Word(b, 14) != 0 || Word(b, 16) != 0) {
    Refuse(b, Word(b, 0) == kSubmit || Word(b, 0) == kFetch ? kMalformed : kUnknownCommand);
  } else if (Word(b, 0) == kSubmit) {
    Submit(b);
  } else if (Word(b, 0) == kFetch) {
    Fetch(b);
  } else {
    Refuse(b, kUnknownCommand);
  }
  if (simrt::LoadKnob(simrt::kKnobGarbage) != 0) Scramble(b);
}
