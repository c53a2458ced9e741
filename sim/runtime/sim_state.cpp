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

// Runs with the file locked. The magic goes in last so that a file abandoned half-made by a
// crashed process is laid out again by the next one.
void Prepare(unsigned char* base) {
  g_base = base;
  bool ours = __atomic_load_n(At<std::uint32_t>(0), __ATOMIC_ACQUIRE) == kMagic &&
              __atomic_load_n(At<std::uint32_t>(4), __ATOMIC_RELAXED) == kVersion &&
              __atomic_load_n(At<std::uint32_t>(8), __ATOMIC_RELAXED) == kFileSize;
  if (ours) return;
  ZeroRange(0, kFileSize);
  StoreKnob(kKnobExecutor, 1);
  StoreDefaultKnobs();
  StoreKnob(kJournalCapacityAt, kJournalCapacity);
  StoreKnob(kJournalEntrySizeAt, kJournalEntrySize);
  StoreKnob(8, kFileSize);
  StoreKnob(4, kVersion);
  __atomic_store_n(At<std::uint32_t>(0), kMagic, __ATOMIC_RELEASE);
}

unsigned char* Slot(std::uint64_t seq) {
  return g_base + kJournalEntries + ((seq - 1) % kJournalCapacity) * kJournalEntrySize;
}

}  // namespace

bool OpenState() {
  if (g_tried) return g_base != nullptr;
  g_tried = true;
  const char* named = std::getenv("KOLT8_SIM_STATE");
  g_path = (named != nullptr && named[0] != '\0') ? named : simos::DefaultStatePath();
  g_base = simos::MapSharedFile(g_path.c_str(), kFileSize, Prepare);
  return g_base != nullptr;
}

const char* StatePath() {
  return g_path.c_str();
}

void ResetState() {
  StoreKnob(kKnobExecutor, 1);
  StoreDefaultKnobs();
  ZeroRange(kCountReads, kJournalLastSeq);
  ZeroRange(kJournalEntries, kFileSize);
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

// A small sequence lock per slot: the slot's seq is 0 while its fields change, so a reader that
// finds the same nonzero seq before and after copying the fields has a whole entry.
// The fields are stored with release and loaded with acquire rather than fenced: a reader that
// sees any field of a newer entry then also sees the 0 stored into seq before it, so its second
// look at seq cannot find the old number. Stand-alone fences would do the same, but
// ThreadSanitizer does not model them, and on x86 both compile to plain moves.
std::uint64_t AppendJournal(const JournalEntry& entry) {
  std::uint64_t seq = __atomic_add_fetch(At<std::uint64_t>(kJournalLastSeq), 1, __ATOMIC_ACQ_REL);
  unsigned char* slot = Slot(seq);
  auto* slot_seq = reinterpret_cast<std::uint64_t*>(slot);
  __atomic_store_n(slot_seq, 0, __ATOMIC_RELAXED);
  __atomic_store_n(reinterpret_cast<std::uint64_t*>(slot + 8), simos::WallClockMicros(),
                   __ATOMIC_RELEASE);
  __atomic_store_n(reinterpret_cast<std::int32_t*>(slot + 16), entry.value, __ATOMIC_RELEASE);
  __atomic_store_n(reinterpret_cast<std::uint16_t*>(slot + 20), entry.index, __ATOMIC_RELEASE);
  __atomic_store_n(slot + 22, entry.type, __ATOMIC_RELEASE);
  __atomic_store_n(slot + 23, entry.result, __ATOMIC_RELEASE);
  __atomic_store_n(slot_seq, seq, __ATOMIC_RELEASE);
  return seq;
}

std::uint64_t JournalLastSeq() {
  return LoadCounter(kJournalLastSeq);
}

bool ReadJournal(std::uint64_t seq, JournalEntry* out) {
  if (seq == 0 || seq > JournalLastSeq()) return false;
  unsigned char* slot = Slot(seq);
  auto* slot_seq = reinterpret_cast<std::uint64_t*>(slot);
  if (__atomic_load_n(slot_seq, __ATOMIC_ACQUIRE) != seq) return false;
  out->seq = seq;
  out->time_us = __atomic_load_n(reinterpret_cast<std::uint64_t*>(slot + 8), __ATOMIC_ACQUIRE);
  out->value = __atomic_load_n(reinterpret_cast<std::int32_t*>(slot + 16), __ATOMIC_ACQUIRE);
  out->index = __atomic_load_n(reinterpret_cast<std::uint16_t*>(slot + 20), __ATOMIC_ACQUIRE);
  out->type = __atomic_load_n(slot + 22, __ATOMIC_ACQUIRE);
  out->result = __atomic_load_n(slot + 23, __ATOMIC_ACQUIRE);
  // Acquire loads above keep this one after them.
  return __atomic_load_n(slot_seq, __ATOMIC_RELAXED) == seq;
}

}  // namespace simrt
