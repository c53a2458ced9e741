// The simulated runtime's shared state: the layout of the state file (variables, fault knobs,
// counters, the journal of completed writes, the timing journal of every completion) and atomic
// access to it. Used by the library and by
// the control tool; README.md documents the same layout for harnesses in other languages.
#pragma once

#include <cstddef>
#include <cstdint>

namespace simrt {

constexpr std::uint32_t kMagic = 0x4D53384Bu;  // bytes "K8SM"
constexpr std::uint32_t kVersion = 1;

constexpr int kTypeCount = 8;
constexpr int kIndexCount = 10000;

// Knobs: one little-endian 32-bit word each, at these byte offsets.
constexpr std::size_t kKnobExecutor = 16;     // 1 installed, 0 not
constexpr std::size_t kKnobDelayMs = 20;      // completion delay after a submit
constexpr std::size_t kKnobNever = 24;        // 1: fetches never find a result
constexpr std::size_t kKnobResult = 28;       // result code of every completion, 0..255
constexpr std::size_t kKnobRefuseRead = 32;   // answer to a read submit, 0 accepts
constexpr std::size_t kKnobRefuseWrite = 36;  // answer to a write submit, 0 accepts
constexpr std::size_t kKnobGarbage = 40;      // 1: random bytes over every answer

constexpr std::uint32_t kDefaultDelayMs = 20;

// Counters: little-endian 64-bit words.
constexpr std::size_t kCountReads = 48;
constexpr std::size_t kCountWrites = 56;
constexpr std::size_t kCountFetches = 64;
constexpr std::size_t kCountProbes = 72;
constexpr std::size_t kCountMalformed = 80;

constexpr std::size_t kJournalLastSeq = 96;  // 64-bit, 0 before the first entry
constexpr std::size_t kJournalCapacityAt = 104;
constexpr std::size_t kJournalEntrySizeAt = 108;
constexpr std::size_t kJournalEntries = 256;
constexpr std::uint32_t kJournalCapacity = 256;
constexpr std::uint32_t kJournalEntrySize = 32;

// The timing journal: every completed read and write, with when it was submitted, when its result
// was due and when it was fetched, so that a caller's own delays can be told from the runtime's.
constexpr std::size_t kTimingLastSeq = 112;  // 64-bit, 0 before the first entry
constexpr std::size_t kTimingCapacityAt = 120;
constexpr std::size_t kTimingEntrySizeAt = 124;
constexpr std::size_t kTimingEntries = 8448;
constexpr std::uint32_t kTimingCapacity = 128;
constexpr std::uint32_t kTimingEntrySize = 32;
// Each ring's last sequence number when it was last reset (64-bit, 0 if never): entries up to it
// are gone, and a listing starts after it.
constexpr std::size_t kJournalResetSeq = 128;
constexpr std::size_t kTimingResetSeq = 136;

constexpr std::size_t kVariables = 16384;
constexpr std::size_t kFileSize = kVariables + 190000;

struct JournalEntry {
  std::uint64_t seq;
  std::uint64_t time_us;  // wall clock, microseconds since the Unix epoch
  std::int32_t value;     // as the write carried it; a flag written as -1 stays -1 here
  std::uint16_t index;
  std::uint8_t type;
  std::uint8_t result;
};

struct TimingEntry {
  std::uint64_t seq;
  std::uint64_t submitted_us;  // wall clock of the accepted submit, as JournalEntry::time_us
  std::uint32_t ready_us;      // from the submit until the runtime had the result
  std::uint32_t fetched_us;    // from the submit until the fetch that delivered it
  std::uint32_t fetches;       // fetches made for the request, that one included
  std::uint16_t index;
  std::uint8_t type;
  std::uint8_t write;  // 1 for a write, 0 for a read
};

// Maps the file named by KOLT8_SIM_STATE (or the default), creating it with defaults when it is
// missing or empty. A file of another size or layout is refused and left as it is. Later calls
// answer the first outcome. False when the file cannot be used.
bool OpenState();
// The path OpenState uses (valid after it).
const char* StatePath();
// Why OpenState answered false, as the end of a sentence: the system's reason, or why the file
// is not taken for a state file.
const char* StateError();

// Everything to defaults in place, so that processes holding the mapping see the fresh state.
// The journal's sequence counter keeps running: a reader's last-seen number stays meaningful.
void ResetState();
// The fault knobs back to defaults; the executor and the variables are left alone.
void ClearFaults();

std::uint32_t LoadKnob(std::size_t offset);
void StoreKnob(std::size_t offset, std::uint32_t value);
std::uint64_t LoadCounter(std::size_t offset);
void BumpCounter(std::size_t offset);

// 1 for a flag type (0..2), 2 for C and M, 4 for T, F and L.
int TypeWidth(int type);
std::size_t VariableOffset(int type, int index);
// The stored bits, zero-extended; type and index must be in range.
std::uint32_t LoadVar(int type, int index);
// Stores the low bits that fit the type's width; a flag is stored as 0 or 1.
void StoreVar(int type, int index, std::uint32_t bits);

// Appends an entry (its seq and time are set here) and answers its sequence number.
std::uint64_t AppendJournal(const JournalEntry& entry);
std::uint64_t JournalLastSeq();
// The last sequence number a reset emptied, 0 if none.
std::uint64_t JournalResetSeq();
// False when the entry is not there (not written yet, being written, or already overwritten).
bool ReadJournal(std::uint64_t seq, JournalEntry* out);

// The same for the timing journal; AppendTiming sets the entry's seq.
std::uint64_t AppendTiming(const TimingEntry& entry);
std::uint64_t TimingLastSeq();
std::uint64_t TimingResetSeq();
bool ReadTiming(std::uint64_t seq, TimingEntry* out);

}  // namespace simrt
