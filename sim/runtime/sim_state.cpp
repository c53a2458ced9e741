// The state file's layout and every access to it. Fields that other processes read or write at
// the same time are touched only through GCC atomic builtins on naturally aligned words.
#include "sim_state.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "sim_os.h"

// The file is little-endian by definition and is shared with a Windows build under Wine and with
// Python harnesses; native atomic words are only correct for that layout on little-endian hosts.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the state file layout is little-endian");

namespace simrt {
namespace {

unsigned char* g_base = nullptr;
bool g_tried = false;
std::string g_path;
std::string g_why;  // why OpenState failed

// Variables by type code: I O B T C M F L, each 10000 entries at the type's width.
constexpr std::size_t kTypeStart[kTypeCount] = {0,     10000, 20000,  30000,
                                                70000, 90000, 110000, 150000};
constexpr int kTypeWidth[kTypeCount] = {1, 1, 1, 4, 2, 2, 4, 4};

template <typename T>
T* At(std::size_t offset) {
  return reinterpret_cast<T*>(g_base + offset);
}

void StoreDefaultKnobs() {
  StoreKnob(kKnobDelayMs, kDefaultDelayMs);
  StoreKnob(kKnobNever, 0);
  StoreKnob(kKnobResult, 0);
  StoreKnob(kKnobRefuseRead, 0);
  StoreKnob(kKnobRefuseWrite, 0);
  StoreKnob(kKnobGarbage, 0);
}

void ZeroRange(std::size_t from, std::size_t to) {
  for (std::size_t at = from; at < to; at += 4)
    __atomic_store_n(At<std::uint32_t>(at), 0u, __ATOMIC_RELAXED);
}

// One ring of entries behind a 64-bit sequence counter: the journal, or the timing journal.
struct Ring {
  std::size_t last_seq_at;
  std::size_t entries_at;
  std::uint32_t capacity;
  std::uint32_t entry_size;
};
constexpr Ring kWriteRing = {kJournalLastSeq, kJournalEntries, kJournalCapacity, kJournalEntrySize};
constexpr Ring kTimingRing = {kTimingLastSeq, kTimingEntries, kTimingCapacity, kTimingEntrySize};

void StoreRingShape() {
  StoreKnob(kJournalCapacityAt, kJournalCapacity);
  StoreKnob(kJournalEntrySizeAt, kJournalEntrySize);
  StoreKnob(kTimingCapacityAt, kTimingCapacity);
  StoreKnob(kTimingEntrySizeAt, kTimingEntrySize);
}

unsigned char* Slot(const Ring& ring, std::uint64_t seq) {
  return g_base + ring.entries_at + ((seq - 1) % ring.capacity) * ring.entry_size;
}

template <typename T>
void Put(unsigned char* slot, std::size_t at, T value) {
  __atomic_store_n(reinterpret_cast<T*>(slot + at), value, __ATOMIC_RELEASE);
}

template <typename T>
T Get(unsigned char* slot, std::size_t at) {
  return __atomic_load_n(reinterpret_cast<T*>(slot + at), __ATOMIC_ACQUIRE);
}

// A small sequence lock per slot: the slot's seq is 0 while its fields change, so a reader that
// finds the same nonzero seq before and after copying the fields has a whole entry.
// The fields are stored with release and loaded with acquire rather than fenced: a reader that
// sees any field of a newer entry then also sees the 0 stored into seq before it, so its second
// look at seq cannot find the old number. Stand-alone fences would do the same, but
// ThreadSanitizer does not model them, and on x86 both compile to plain moves.
template <typename Fill>
std::uint64_t Append(const Ring& ring, Fill fill) {
  std::uint64_t seq = __atomic_add_fetch(At<std::uint64_t>(ring.last_seq_at), 1, __ATOMIC_ACQ_REL);
  unsigned char* slot = Slot(ring, seq);
  auto* slot_seq = reinterpret_cast<std::uint64_t*>(slot);
  __atomic_store_n(slot_seq, 0, __ATOMIC_RELAXED);
  fill(slot);
  __atomic_store_n(slot_seq, seq, __ATOMIC_RELEASE);
  return seq;
}

template <typename Copy>
bool ReadEntry(const Ring& ring, std::uint64_t seq, Copy copy) {
  if (seq == 0 || seq > LoadCounter(ring.last_seq_at)) return false;
  unsigned char* slot = Slot(ring, seq);
  auto* slot_seq = reinterpret_cast<std::uint64_t*>(slot);
  if (__atomic_load_n(slot_seq, __ATOMIC_ACQUIRE) != seq) return false;
  copy(slot);
  // Acquire loads in `copy` keep this one after them.
  return __atomic_load_n(slot_seq, __ATOMIC_RELAXED) == seq;
}

// What is done with a state file that is not ours is said the same way for every reason.
constexpr const char kLeftAsItIs[] =
    "; left as it is: remove it, or name another file in KOLT8_SIM_STATE";

std::string Refusal(const std::string& reason) {
  return reason + kLeftAsItIs;
}

// An empty file is one just created (by this process or by one that died before sizing it).
// Any other size is someone else's file, or ours cut short: resizing it would destroy it.
bool AcceptSize(std::uint64_t found, std::string* why) {
  if (found == 0 || found == kFileSize) return true;
  const std::string sizes =
      std::to_string(found) + " bytes, a state file has " + std::to_string(kFileSize);
  *why = Refusal(found < kFileSize ? "it is too short (" + sizes + ")"
                                   : "it is not a state file (" + sizes + ")");
  return false;
}

// Runs with the file locked. The magic goes in last so that a file abandoned half-made by a
// crashed process (its magic still 0) is laid out again by the next one; a file with another
// magic, version or size field is someone else's and is left alone.
bool Prepare(unsigned char* base, std::string* why) {
  g_base = base;
  const std::uint32_t magic = __atomic_load_n(At<std::uint32_t>(0), __ATOMIC_ACQUIRE);
  const std::uint32_t version = __atomic_load_n(At<std::uint32_t>(4), __ATOMIC_RELAXED);
  const std::uint32_t size = __atomic_load_n(At<std::uint32_t>(8), __ATOMIC_RELAXED);
  if (magic == kMagic && version == kVersion && size == kFileSize) return true;
  if (magic == kMagic) {
    *why = Refusal("it is a state file of another layout (version " + std::to_string(version) +
                   ", " + std::to_string(size) + " bytes; this simulator's is version " +
                   std::to_string(kVersion) + ", " + std::to_string(kFileSize) + " bytes)");
    return false;
  }
  if (magic != 0) {
    *why = Refusal("it is not a state file (it does not start with K8SM)");
    return false;
  }
  ZeroRange(0, kFileSize);
  StoreKnob(kKnobExecutor, 1);
  StoreDefaultKnobs();
  StoreRingShape();
  StoreKnob(8, kFileSize);
  StoreKnob(4, kVersion);
  __atomic_store_n(At<std::uint32_t>(0), kMagic, __ATOMIC_RELEASE);
  return true;
}

}  // namespace

bool OpenState() {
  if (g_tried) return g_base != nullptr;
  g_tried = true;
  const char* named = std::getenv("KOLT8_SIM_STATE");
  g_path = (named != nullptr && named[0] != '\0') ? named : simos::DefaultStatePath();
  const simos::Layout layout = {kFileSize, AcceptSize, Prepare};
  g_base = simos::MapSharedFile(g_path.c_str(), layout, &g_why);
  return g_base != nullptr;
}

const char* StateError() {
  return g_why.c_str();
}

const char* StatePath() {
  return g_path.c_str();
}

void ResetState() {
  StoreKnob(kKnobExecutor, 1);
  StoreDefaultKnobs();
  ZeroRange(kCountReads, kJournalLastSeq);
  ZeroRange(kJournalEntries, kFileSize);
  // The numbers keep counting past a reset; where it happened tells a listing where to begin.
  __atomic_store_n(At<std::uint64_t>(kJournalResetSeq), JournalLastSeq(), __ATOMIC_RELEASE);
  __atomic_store_n(At<std::uint64_t>(kTimingResetSeq), TimingLastSeq(), __ATOMIC_RELEASE);
  // A file laid out before the timing journal existed learns its shape here.
  StoreRingShape();
}

void ClearFaults() {
  StoreDefaultKnobs();
}

std::uint32_t LoadKnob(std::size_t offset) {
  return __atomic_load_n(At<std::uint32_t>(offset), __ATOMIC_ACQUIRE);
}

void StoreKnob(std::size_t offset, std::uint32_t value) {
  __atomic_store_n(At<std::uint32_t>(offset), value, __ATOMIC_RELEASE);
}

std::uint64_t LoadCounter(std::size_t offset) {
  return __atomic_load_n(At<std::uint64_t>(offset), __ATOMIC_ACQUIRE);
}

void BumpCounter(std::size_t offset) {
  __atomic_add_fetch(At<std::uint64_t>(offset), 1, __ATOMIC_ACQ_REL);
}

int TypeWidth(int type) {
  return kTypeWidth[type];
}

std::size_t VariableOffset(int type, int index) {
  return kVariables + kTypeStart[type] + static_cast<std::size_t>(index) * kTypeWidth[type];
}

std::uint32_t LoadVar(int type, int index) {
  std::size_t at = VariableOffset(type, index);
  switch (kTypeWidth[type]) {
    case 1:
      return __atomic_load_n(At<std::uint8_t>(at), __ATOMIC_ACQUIRE);
    case 2:
      return __atomic_load_n(At<std::uint16_t>(at), __ATOMIC_ACQUIRE);
    default:
      return __atomic_load_n(At<std::uint32_t>(at), __ATOMIC_ACQUIRE);
  }
}

void StoreVar(int type, int index, std::uint32_t bits) {
  std::size_t at = VariableOffset(type, index);
  switch (kTypeWidth[type]) {
    case 1:
      __atomic_store_n(At<std::uint8_t>(at), static_cast<std::uint8_t>(bits != 0),
                       __ATOMIC_RELEASE);
      break;
    case 2:
      __atomic_store_n(At<std::uint16_t>(at), static_cast<std::uint16_t>(bits), __ATOMIC_RELEASE);
      break;
    default:
      __atomic_store_n(At<std::uint32_t>(at), bits, __ATOMIC_RELEASE);
      break;
  }
}

std::uint64_t AppendJournal(const JournalEntry& entry) {
  return Append(kWriteRing, [&](unsigned char* slot) {
    Put(slot, 8, simos::WallClockMicros());
    Put(slot, 16, entry.value);
    Put(slot, 20, entry.index);
    Put(slot, 22, entry.type);
    Put(slot, 23, entry.result);
  });
}

std::uint64_t JournalLastSeq() {
  return LoadCounter(kJournalLastSeq);
}

std::uint64_t JournalResetSeq() {
  return LoadCounter(kJournalResetSeq);
}

bool ReadJournal(std::uint64_t seq, JournalEntry* out) {
  return ReadEntry(kWriteRing, seq, [&](unsigned char* slot) {
    out->seq = seq;
    out->time_us = Get<std::uint64_t>(slot, 8);
    out->value = Get<std::int32_t>(slot, 16);
    out->index = Get<std::uint16_t>(slot, 20);
    out->type = Get<std::uint8_t>(slot, 22);
    out->result = Get<std::uint8_t>(slot, 23);
  });
}

std::uint64_t AppendTiming(const TimingEntry& entry) {
  return Append(kTimingRing, [&](unsigned char* slot) {
    Put(slot, 8, entry.submitted_us);
    Put(slot, 16, entry.ready_us);
    Put(slot, 20, entry.fetched_us);
    Put(slot, 24, entry.fetches);
    Put(slot, 28, entry.index);
    Put(slot, 30, entry.type);
    Put(slot, 31, entry.write);
  });
}

std::uint64_t TimingLastSeq() {
  return LoadCounter(kTimingLastSeq);
}

std::uint64_t TimingResetSeq() {
  return LoadCounter(kTimingResetSeq);
}

bool ReadTiming(std::uint64_t seq, TimingEntry* out) {
  return ReadEntry(kTimingRing, seq, [&](unsigned char* slot) {
    out->seq = seq;
    out->submitted_us = Get<std::uint64_t>(slot, 8);
    out->ready_us = Get<std::uint32_t>(slot, 16);
    out->fetched_us = Get<std::uint32_t>(slot, 20);
    out->fetches = Get<std::uint32_t>(slot, 24);
    out->index = Get<std::uint16_t>(slot, 28);
    out->type = Get<std::uint8_t>(slot, 30);
    out->write = Get<std::uint8_t>(slot, 31);
  });
}

}  // namespace simrt
