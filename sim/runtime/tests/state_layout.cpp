// Prints the state file's layout as the simulated runtime defines it, one figure a line
// ("name value..."), so that the tools' own description of the file
// (tests/support/okvsim/state.py) can be checked against it by state_layout_test.py.
#include <cstddef>
#include <cstdio>
#include <type_traits>

#include "sim_state.h"

namespace {

void Figure(const char* name, unsigned long long value) {
  std::printf("%s %llu\n", name, value);
}

// A field of an entry: its offset, its size and whether it is signed.
template <typename Field>
void EntryField(const char* name, std::size_t offset) {
  std::printf("%s %zu %zu %d\n", name, offset, sizeof(Field), std::is_signed<Field>::value ? 1 : 0);
}

#define OKV_FIELD(prefix, Entry, member) \
  EntryField<decltype(Entry::member)>(prefix "." #member, offsetof(Entry, member))

}  // namespace

int main() {
  using namespace simrt;
  Figure("size", kFileSize);
  Figure("magic", kMagic);
  Figure("knob.executor", kKnobExecutor);
  Figure("knob.delay_ms", kKnobDelayMs);
  Figure("knob.never", kKnobNever);
  Figure("knob.result", kKnobResult);
  Figure("knob.refuse_read", kKnobRefuseRead);
  Figure("knob.refuse_write", kKnobRefuseWrite);
  Figure("knob.garbage", kKnobGarbage);
  Figure("default_delay_ms", kDefaultDelayMs);
  Figure("counter.reads", kCountReads);
  Figure("counter.writes", kCountWrites);
  Figure("counter.fetches", kCountFetches);
  Figure("counter.probes", kCountProbes);
  Figure("counter.malformed", kCountMalformed);
  Figure("journal.last", kJournalLastSeq);
  Figure("journal.entries", kJournalEntries);
  Figure("journal.capacity", kJournalCapacity);
  Figure("journal.entry_size", kJournalEntrySize);
  Figure("timing.last", kTimingLastSeq);
  Figure("timing.entries", kTimingEntries);
  Figure("timing.capacity", kTimingCapacity);
  Figure("timing.entry_size", kTimingEntrySize);
  OKV_FIELD("journal.field", JournalEntry, seq);
  OKV_FIELD("journal.field", JournalEntry, time_us);
  OKV_FIELD("journal.field", JournalEntry, value);
  OKV_FIELD("journal.field", JournalEntry, index);
  OKV_FIELD("journal.field", JournalEntry, type);
  OKV_FIELD("journal.field", JournalEntry, result);
  OKV_FIELD("timing.field", TimingEntry, seq);
  OKV_FIELD("timing.field", TimingEntry, submitted_us);
  OKV_FIELD("timing.field", TimingEntry, ready_us);
  OKV_FIELD("timing.field", TimingEntry, fetched_us);
  OKV_FIELD("timing.field", TimingEntry, fetches);
  OKV_FIELD("timing.field", TimingEntry, index);
  OKV_FIELD("timing.field", TimingEntry, type);
  OKV_FIELD("timing.field", TimingEntry, write);
  for (int type = 0; type < kTypeCount; ++type) {
    std::printf("var.%d %zu %d\n", type, VariableOffset(type, 0), TypeWidth(type));
  }
  return 0;
}
