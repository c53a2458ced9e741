// okvsim-runtime: the control tool of the simulated runtime. Reads and writes its variables,
// turns the executor and the fault knobs on and off, shows the counters, the journal of completed
// writes and the timings of every completion, watches variables, and plays the application's side
// of one mailbox request.
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim_os.h"
#include "sim_state.h"

namespace {

constexpr int kUsage = 2;
constexpr int kMailboxType = 5;  // m
constexpr int kNumberType = 7;   // l
constexpr int kMailboxIndex = 1000;
constexpr std::uint32_t kPollMs = 2;

struct Ref {
  int type;
  int index;
};

// Every line is flushed at once: the tool is read through pipes by tests and scripts.
void Out(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(stdout, format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// One line on stderr; answers the usage exit code so callers can `return Fail(...)`.
int Fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("okvsim-runtime: ", stderr);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  return kUsage;
}

bool Open() {
  if (simrt::OpenState()) return true;
  std::fprintf(stderr, "okvsim-runtime: cannot open the state file %s: %s\n", simrt::StatePath(),
               simrt::StateError());
  std::fflush(stderr);
  return false;
}

int TypeOfLetter(char letter) {
  static const char kLetters[] = "IOBUTCMFL";
  static const int kCodes[] = {0, 1, 2, 2, 3, 4, 5, 6, 7};
  char upper = (letter >= 'a' && letter <= 'z') ? static_cast<char>(letter - 'a' + 'A') : letter;
  const char* hit = upper == '\0' ? nullptr : std::strchr(kLetters, upper);
  return hit == nullptr ? -1 : static_cast<int>(kCodes[hit - kLetters]);
}

// A letter of the table, then one to four decimal digits.
bool ParseRef(const char* text, Ref* ref) {
  int type = TypeOfLetter(text[0]);
  std::size_t digits = type < 0 ? 0 : std::strlen(text + 1);
  if (digits < 1 || digits > 4) return false;
  int index = 0;
  for (const char* p = text + 1; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    index = index * 10 + (*p - '0');
  }
  *ref = {type, index};
  return true;
}

std::string RefName(Ref ref) {
  return "iobtcmfl"[ref.type] + std::to_string(ref.index);
}

// Decimal with an optional minus sign, or 0x hexadecimal; nothing else, and at most 32 bits.
bool ParseNumber(const char* text, long long* out) {
  bool negative = text[0] == '-';
  const char* p = negative ? text + 1 : text;
  int base = 10;
  if (!negative && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  }
  if (*p == '\0') return false;
  long long value = 0;
  for (; *p != '\0'; ++p) {
    int digit = (*p >= '0' && *p <= '9')                 ? *p - '0'
                : (base == 16 && *p >= 'a' && *p <= 'f') ? *p - 'a' + 10
                : (base == 16 && *p >= 'A' && *p <= 'F') ? *p - 'A' + 10
                                                         : -1;
    if (digit < 0) return false;
    value = value * base + digit;
    if (value > 0xFFFFFFFFLL) return false;
  }
  *out = negative ? -value : value;
  return true;
}

bool ParseRange(const char* text, long long low, long long high, long long* out) {
  return ParseNumber(text, out) && *out >= low && *out <= high;
}

// Flags take 0 or 1; C and M -32768..65535; T, F and L any 32-bit value, signed or not.
bool ParseValue(const char* text, int type, std::uint32_t* bits) {
  int width = simrt::TypeWidth(type);
  long long low = width == 1 ? 0 : width == 2 ? -32768 : -2147483648LL;
  long long high = width == 1 ? 1 : width == 2 ? 0xFFFF : 0xFFFFFFFFLL;
  long long value = 0;
  if (!ParseRange(text, low, high, &value)) return false;
  *bits = static_cast<std::uint32_t>(value);
  return true;
}

bool ParseOnOff(const char* text, std::uint32_t* out) {
  if (std::strcmp(text, "on") == 0) return *out = 1, true;
  if (std::strcmp(text, "off") == 0) return *out = 0, true;
  return false;
}

bool ParseSeconds(const char* text, std::uint32_t* ms) {
  char* end = nullptr;
  double seconds = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(seconds >= 0 && seconds <= 86400 * 365)) return false;
  *ms = static_cast<std::uint32_t>(seconds * 1000 + 0.5);
  return true;
}

// F and L read as signed, like the bridge's 32-bit values; the rest as the unsigned bits.
long long ValueOf(int type, std::uint32_t bits) {
  return (type == 6 || type == 7) ? static_cast<std::int32_t>(bits) : static_cast<long long>(bits);
}

void PrintVar(Ref ref) {
  Out("%s = %lld", RefName(ref).c_str(), ValueOf(ref.type, simrt::LoadVar(ref.type, ref.index)));
}

// Takes "--name VALUE" out of the arguments; false when the name is there without a value.
bool TakeOption(std::vector<const char*>* args, const char* name, const char** value) {
  for (std::size_t i = 0; i < args->size(); ++i) {
    if (std::strcmp((*args)[i], name) != 0) continue;
    if (i + 1 >= args->size()) return false;
    *value = (*args)[i + 1];
    args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
    return true;
  }
  return true;
}

bool ParseRefs(const std::vector<const char*>& args, std::vector<Ref>* refs) {
  for (const char* text : args) {
    Ref ref;
    if (!ParseRef(text, &ref)) return false;
    refs->push_back(ref);
  }
  return !refs->empty();
}

int BadRefs(const std::vector<const char*>& args) {
  for (const char* text : args) {
    Ref ref;
    if (!ParseRef(text, &ref)) return Fail("bad variable reference '%s'", text);
  }
  return Fail("expected at least one variable reference");
}

// Time of day in UTC with milliseconds, the same clock as the journal's time stamps.
std::string Stamp(std::uint64_t micros) {
  std::uint64_t ms = micros / 1000;
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u.%03u", static_cast<unsigned>(ms / 3600000 % 24),
                static_cast<unsigned>(ms / 60000 % 60), static_cast<unsigned>(ms / 1000 % 60),
                static_cast<unsigned>(ms % 1000));
  return text;
}

int CmdGet(std::vector<const char*> args) {
  std::vector<Ref> refs;
  if (!ParseRefs(args, &refs)) return BadRefs(args);
  if (!Open()) return 1;
  for (Ref ref : refs) PrintVar(ref);
  return 0;
}

int CmdSet(std::vector<const char*> args) {
  if (args.size() != 2) return Fail("set: expected REF VALUE");
  Ref ref;
  std::uint32_t bits = 0;
  if (!ParseRef(args[0], &ref)) return Fail("bad variable reference '%s'", args[0]);
  if (!ParseValue(args[1], ref.type, &bits)) {
    return Fail("bad value '%s' for %s", args[1], RefName(ref).c_str());
  }
  if (!Open()) return 1;
  simrt::StoreVar(ref.type, ref.index, bits);
  PrintVar(ref);
  return 0;
}

int CmdExecutor(std::vector<const char*> args) {
  std::uint32_t on = 0;
  if (args.size() != 1 || !ParseOnOff(args[0], &on)) return Fail("executor: expected on or off");
  if (!Open()) return 1;
  simrt::StoreKnob(simrt::kKnobExecutor, on);
  Out("executor %s", on ? "on" : "off");
  return 0;
}

int CmdFault(std::vector<const char*> args) {
  if (args.size() == 1 && std::strcmp(args[0], "clear") == 0) {
    if (!Open()) return 1;
    simrt::ClearFaults();
    Out("faults cleared");
    return 0;
  }
  if (args.size() != 2) return Fail("fault: expected a fault and its setting, or clear");
  const std::string name = args[0];
  std::uint32_t value = 0;
  long long number = 0;
  std::size_t knob = 0;
  bool ok = false;
  if (name == "delay") {
    knob = simrt::kKnobDelayMs;
    ok = ParseRange(args[1], 0, 0xFFFFFFFFLL, &number);
  } else if (name == "result") {
    knob = simrt::kKnobResult;
    ok = ParseRange(args[1], 0, 255, &number);
  } else if (name == "refuse-read" || name == "refuse-write") {
    knob = name == "refuse-read" ? simrt::kKnobRefuseRead : simrt::kKnobRefuseWrite;
    ok = ParseRange(args[1], 0, 0xFFFF, &number);
  } else if (name == "never" || name == "garbage") {
    knob = name == "never" ? simrt::kKnobNever : simrt::kKnobGarbage;
    ok = ParseOnOff(args[1], &value);
    number = value;
  } else {
    return Fail("fault: unknown fault '%s'", args[0]);
  }
  if (!ok) return Fail("fault %s: bad setting '%s'", args[0], args[1]);
  if (!Open()) return 1;
  simrt::StoreKnob(knob, static_cast<std::uint32_t>(number));
  Out("%s %s", args[0], args[1]);
  return 0;
}

int CmdStatus(std::vector<const char*> args) {
  if (!args.empty()) return Fail("status: takes no arguments");
  if (!Open()) return 1;
  auto on_off = [](std::size_t knob) { return simrt::LoadKnob(knob) != 0 ? "on" : "off"; };
  auto count = [](std::size_t at) {
    return static_cast<unsigned long long>(simrt::LoadCounter(at));
  };
  Out("state-file %s", simrt::StatePath());
  Out("executor %s", on_off(simrt::kKnobExecutor));
  Out("delay-ms %u", simrt::LoadKnob(simrt::kKnobDelayMs));
  Out("never %s", on_off(simrt::kKnobNever));
  Out("result %u", simrt::LoadKnob(simrt::kKnobResult));
  Out("refuse-read 0x%04x", simrt::LoadKnob(simrt::kKnobRefuseRead));
  Out("refuse-write 0x%04x", simrt::LoadKnob(simrt::kKnobRefuseWrite));
  Out("garbage %s", on_off(simrt::kKnobGarbage));
  Out("read-submits %llu", count(simrt::kCountReads));
  Out("write-submits %llu", count(simrt::kCountWrites));
  Out("fetches %llu", count(simrt::kCountFetches));
  Out("probes %llu", count(simrt::kCountProbes));
  Out("malformed %llu", count(simrt::kCountMalformed));
  Out("journal-last %llu", static_cast<unsigned long long>(simrt::JournalLastSeq()));
  Out("timings-last %llu", static_cast<unsigned long long>(simrt::TimingLastSeq()));
  return 0;
}

int CmdReset(std::vector<const char*> args) {
  if (!args.empty()) return Fail("reset: takes no arguments");
  if (!Open()) return 1;
  simrt::ResetState();
  Out("reset %s", simrt::StatePath());
  return 0;
}

// The command line of journal and timings: [--since SEQ]. Answers the first sequence number to
// print, past those already overwritten in a ring of `capacity` entries that ends at `last()` and
// past those the last reset emptied (up to `reset()`); 0 with `code` set when the arguments are
// wrong or the state file cannot be opened.
template <typename Seq>
std::uint64_t FirstToList(const char* name, std::vector<const char*> args, Seq last_seq,
                          Seq reset_seq, std::uint32_t capacity, int* code) {
  const char* since_text = "0";
  long long since = 0;
  if (!TakeOption(&args, "--since", &since_text) || !args.empty()) {
    *code = Fail("%s: expected [--since SEQ]", name);
    return 0;
  }
  if (!ParseRange(since_text, 0, 0xFFFFFFFFLL, &since)) {
    *code = Fail("bad sequence number '%s'", since_text);
    return 0;
  }
  if (!Open()) {
    *code = 1;
    return 0;
  }
  std::uint64_t last = last_seq();
  std::uint64_t first = static_cast<std::uint64_t>(since) + 1;
  if (last >= capacity && first <= last - capacity) {
    std::fprintf(stderr, "okvsim-runtime: %s: entries %llu to %llu were overwritten\n", name,
                 static_cast<unsigned long long>(first),
                 static_cast<unsigned long long>(last - capacity));
    first = last - capacity + 1;
  }
  // Their slots are empty, and the first of them would end the listing before it began.
  first = std::max<std::uint64_t>(first, reset_seq() + 1);
  *code = 0;
  return first;
}

int CmdJournal(std::vector<const char*> args) {
  int code = 0;
  std::uint64_t first =
      FirstToList("journal", args, simrt::JournalLastSeq, simrt::JournalResetSeq,
                  simrt::kJournalCapacity, &code);
  if (first == 0) return code;
  simrt::JournalEntry e;
  for (std::uint64_t seq = first; seq <= simrt::JournalLastSeq() && simrt::ReadJournal(seq, &e);
       ++seq) {
    Out("seq=%llu time_us=%llu ref=%s value=%d result=%u", static_cast<unsigned long long>(e.seq),
        static_cast<unsigned long long>(e.time_us), RefName({e.type, e.index}).c_str(), e.value,
        e.result);
  }
  return 0;
}

int CmdTimings(std::vector<const char*> args) {
  int code = 0;
  std::uint64_t first =
      FirstToList("timings", args, simrt::TimingLastSeq, simrt::TimingResetSeq,
                  simrt::kTimingCapacity, &code);
  if (first == 0) return code;
  simrt::TimingEntry e;
  for (std::uint64_t seq = first; seq <= simrt::TimingLastSeq() && simrt::ReadTiming(seq, &e);
       ++seq) {
    Out("seq=%llu submitted_us=%llu %s ref=%s ready_us=%u fetched_us=%u fetches=%u",
        static_cast<unsigned long long>(e.seq), static_cast<unsigned long long>(e.submitted_us),
        e.write != 0 ? "write" : "read", RefName({e.type, e.index}).c_str(), e.ready_us,
        e.fetched_us, e.fetches);
  }
  return 0;
}

// Polls every few milliseconds, so changes that come and go faster can be missed; the journal
// has every completed write.
int CmdWatch(std::vector<const char*> args) {
  const char* duration_text = nullptr;
  std::uint32_t duration_ms = 0;
  if (!TakeOption(&args, "--duration", &duration_text)) {
    return Fail("watch: --duration needs seconds");
  }
  if (duration_text != nullptr && !ParseSeconds(duration_text, &duration_ms)) {
    return Fail("bad duration '%s'", duration_text);
  }
  std::vector<Ref> refs;
  if (!ParseRefs(args, &refs)) return BadRefs(args);
  if (!Open()) return 1;
  simos::CatchStop();
  std::uint32_t start = simos::MonotonicMillis();
  std::vector<std::uint32_t> seen(refs.size());
  for (bool first = true; !simos::StopRequested(); first = false) {
    std::uint32_t elapsed = simos::MonotonicMillis() - start;
    for (std::size_t i = 0; i < refs.size(); ++i) {
      std::uint32_t bits = simrt::LoadVar(refs[i].type, refs[i].index);
      if (!first && bits == seen[i]) continue;
      seen[i] = bits;
      Out("%s +%u ms %s = %lld", Stamp(simos::WallClockMicros()).c_str(), elapsed,
          RefName(refs[i]).c_str(), ValueOf(refs[i].type, bits));
    }
    if (duration_text != nullptr && elapsed >= duration_ms) break;
    simos::SleepMillis(kPollMs);
  }
  return 0;
}

// The next completed write to m1000 from sequence *next on, if one is there yet. Overwritten
// entries are skipped; one still being written is left for the next call.
bool NextMailboxWrite(std::uint64_t* next, simrt::JournalEntry* e) {
  while (*next <= simrt::JournalLastSeq()) {
    if (!simrt::ReadJournal(*next, e)) {
      if (simrt::JournalLastSeq() - *next < simrt::kJournalCapacity) return false;
      ++*next;
      continue;
    }
    ++*next;
    if (e->type == kMailboxType && e->index == kMailboxIndex) return true;
  }
  return false;
}

// Follows the journal rather than polling m1000, so that every code the bridge writes is seen,
// however quickly the next one follows, with the time the write completed.
int CmdRequest(std::vector<const char*> args) {
  const char* timeout_text = "15";
  std::uint32_t timeout_ms = 0;
  if (!TakeOption(&args, "--timeout", &timeout_text)) {
    return Fail("request: --timeout needs seconds");
  }
  if (!ParseSeconds(timeout_text, &timeout_ms)) return Fail("bad timeout '%s'", timeout_text);
  if (args.size() != 1 || (std::strcmp(args[0], "p") != 0 && std::strcmp(args[0], "r") != 0)) {
    return Fail("request: expected p or r");
  }
  bool is_r = args[0][0] == 'r';
  if (!Open()) return 1;
  std::uint64_t next = simrt::JournalLastSeq() + 1;
  std::uint64_t start_us = simos::WallClockMicros();
  std::uint32_t start_ms = simos::MonotonicMillis();
  std::uint32_t code = is_r ? 6 : 1;
  simrt::StoreVar(kMailboxType, kMailboxIndex, code);
  Out("+0 ms m1000 = %u", code);
  simrt::JournalEntry e;
  for (;;) {
    if (NextMailboxWrite(&next, &e)) {
      long long ms = e.time_us > start_us ? static_cast<long long>(e.time_us - start_us) / 1000 : 0;
      Out("+%lld ms m1000 = %d", ms, e.value);
      if (is_r ? (e.value != 8 && e.value != 9) : (e.value < 3 || e.value > 5)) continue;
      if (is_r) Out("l1000 = %lld", ValueOf(kNumberType, simrt::LoadVar(kNumberType, 1000)));
      Out("total %lld ms", ms);
      return 0;
    }
    std::uint32_t elapsed = simos::MonotonicMillis() - start_ms;
    if (elapsed >= timeout_ms) {
      Out("timeout after %u ms, m1000 = %u", elapsed, simrt::LoadVar(kMailboxType, kMailboxIndex));
      return 1;
    }
    simos::SleepMillis(kPollMs);
  }
}

struct Command {
  const char* name;
  int (*run)(std::vector<const char*> args);
  const char* usage;
  const char* help;
};

const Command kCommands[] = {
    {"get", CmdGet, "get REF...", "Print the variables, one 'ref = value' line each."},
    {"set", CmdSet, "set REF VALUE",
     "Write a variable. VALUE is decimal or 0x hex: 0 or 1 for I, O, B and U; -32768..65535 for C\n"
     "and M; any 32-bit value for T, F and L."},
    {"executor", CmdExecutor, "executor on|off",
     "Install or remove the executor the probe reports."},
    {"fault", CmdFault,
     "fault delay MS | never on|off | result N | refuse-read WORD | refuse-write WORD |\n"
     "      garbage on|off | clear",
     "Set one fault knob. delay: milliseconds from a submit to its completion. never: fetches "
     "never\n"
     "find a result. result: result code 0..255 of every completion. refuse-read, refuse-write:\n"
     "the answer word to a read or write submit, 0 accepts. garbage: random bytes over every\n"
     "answer. clear: all of them back to their defaults (the executor stays as it is)."},
    {"status", CmdStatus, "status", "Print the state file, the knobs and the counters."},
    {"reset", CmdReset, "reset",
     "Put the whole state back to its defaults in place: variables 0, executor on, no faults,\n"
     "counters 0, journal and timings empty (their sequence numbers keep counting)."},
    {"journal", CmdJournal, "journal [--since SEQ]",
     "Print the completed writes with a sequence number above SEQ (default 0), oldest first:\n"
     "seq=N time_us=MICROSECONDS ref=REF value=V result=R."},
    {"timings", CmdTimings, "timings [--since SEQ]",
     "Print the completed reads and writes with a sequence number above SEQ (default 0), oldest\n"
     "first, with when each was submitted and how many microseconds later its result was ready\n"
     "and was fetched: seq=N submitted_us=MICROSECONDS read|write ref=REF ready_us=R\n"
     "fetched_us=F fetches=K. What a caller took beyond the runtime's own time is F - R."},
    {"watch", CmdWatch, "watch REF... [--duration S]",
     "Print the variables, then each change, with the UTC time of day and the milliseconds since\n"
     "the start. Runs for S seconds, or until interrupted."},
    {"request", CmdRequest, "request p|r [--timeout S]",
     "Play the application: write 1 (p) or 6 (r) into m1000 and print every code the bridge "
     "writes\n"
     "there, with the milliseconds since the request, until a result (3, 4 or 5; 8 or 9); then\n"
     "l1000 for r, and the total time. Exits 0 on a result, 1 after S seconds (default 15)."},
};

void PrintUsage(std::FILE* to) {
  std::fputs("usage: okvsim-runtime COMMAND [ARGS]   (COMMAND --help for more)\n", to);
  std::fputs("       okvsim-runtime --version   the package's version\n", to);
  for (const Command& c : kCommands) std::fprintf(to, "  %s\n", c.usage);
  std::fprintf(to,
               "REF is a letter (I O B U T C M F L, either case) and 1 to 4 digits, e.g. m1000.\n"
               "The state file is $KOLT8_SIM_STATE, else kolt8-sim.state in the temporary folder\n"
               "(here %s).\n",
               simos::DefaultStatePath().c_str());
  std::fflush(to);
}

bool WantsHelp(int argc, char** argv, int from) {
  for (int i = from; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
                    std::strcmp(argv[1], "help") == 0)) {
    PrintUsage(stdout);
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("okvsim-runtime %s\n", OKV_VERSION);
    std::fflush(stdout);
    return 0;
  }
  for (const Command& c : kCommands) {
    if (argc < 2 || std::strcmp(argv[1], c.name) != 0) continue;
    if (WantsHelp(argc, argv, 2)) {
      std::printf("usage: okvsim-runtime %s\n%s\n", c.usage, c.help);
      std::fflush(stdout);
      return 0;
    }
    return c.run(std::vector<const char*>(argv + 2, argv + argc));
  }
  if (argc >= 2) std::fprintf(stderr, "okvsim-runtime: unknown command '%s'\n", argv[1]);
  PrintUsage(stderr);
  return kUsage;
}
