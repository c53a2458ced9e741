// okvsim-device: the serial device at the far end of okvbridge, simulated. This is its portable
// core: how it answers "P\n" and "R\n" (replies shaped by options and, while it runs, by commands
// on standard input), the schedule of reply pieces and the time-stamped log of every exchange.
// The line itself (a pseudo-terminal linked as COM<n>, a tty, a Windows COM port) is the
// platform's backend, behind device_line.h.
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "device_line.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr unsigned long kMaxReply = 1UL << 20;
constexpr unsigned long kMaxMs = 3600UL * 1000;
constexpr unsigned long kMaxCom = 0xFFFFFFFFUL;  // the bridge takes any unsigned 32-bit number
constexpr int kDeafMs = 1000;                    // how long a hung-up line is left alone

// How the device answers. Options set it at start; commands on standard input change it later.
struct Behaviour {
  std::string p = "Turning On";
  std::string r = "A123";
  std::deque<std::string> nextP, nextR;  // one-shot replies, taken before the standing ones
  unsigned long delayMs = 0;
  unsigned long splitBytes = 0;  // 0: the reply goes out whole
  unsigned long splitPauseMs = 1000;
  bool silent = false;
};

// Part of a reply, due on the line at a given time. Pieces leave in the order they were made,
// so a reply never overtakes the one before it.
struct Piece {
  std::uint64_t due;
  std::string bytes;
  std::string note;  // added to the log line after the byte count
};

struct Options {
  LineSettings line;
  bool exitOnEof = false;
};

Behaviour behaviour;
std::deque<Piece> schedule;
std::string outgoing;               // due, but not yet taken by the line
std::string heard;                  // bytes since the last command
std::string control;                // standard input not yet ended by a line feed
std::mt19937 generator(20240611u);  // fixed seed: binary replies are the same from run to run

std::uint64_t NowMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

[[noreturn]] void UsageError(const std::string& message) {
  Complain(message + " (see --help)");
  std::exit(kExitUsage);
}

// The escapes that replies are written with and that the log shows, beside \xHH.
constexpr std::string_view kEscaped("\n\r\t\\\"\0", 6);
constexpr std::string_view kEscapeNames("nrt\\\"0", 6);

// Bytes as the log shows them: quoted, with the escapes that the reply options accept, and the
// middle of a long reply left out.
std::string Shown(const std::string& bytes) {
  constexpr std::size_t kHead = 60, kTail = 20;
  std::string out = "\"";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == kHead && bytes.size() > kHead + kTail + 8) {
      out += "\"...\"";
      i = bytes.size() - kTail;
    }
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    const std::size_t named = kEscaped.find(static_cast<char>(c));
    if (named != std::string_view::npos) {
      out += '\\';
      out += kEscapeNames[named];
    } else if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out + "\"";
}

// C-style escapes, so that a reply can hold any byte. Answers an error text, empty when fine.
std::string Unescape(const std::string& text, std::string& bytes) {
  bytes.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      bytes += text[i];
      continue;
    }
    if (++i == text.size()) return "the text ends with a lone backslash";
    const std::size_t named = kEscapeNames.find(text[i]);
    if (named != std::string_view::npos) {
      bytes += kEscaped[named];
      continue;
    }
    if (text[i] != 'x') return std::string("unknown escape \\") + text[i];
    std::size_t digits = 0;
    while (digits < 2 && i + 1 + digits < text.size() &&
           std::isxdigit(static_cast<unsigned char>(text[i + 1 + digits]))) {
      ++digits;
    }
    if (digits == 0) return "\\x without hex digits";
    bytes += static_cast<char>(std::strtoul(text.substr(i + 1, digits).c_str(), nullptr, 16));
    i += digits;
  }
  return "";
}

bool ParseCount(const std::string& text, unsigned long max, unsigned long& value) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoul(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0' && value <= max;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while ((at = text.find_first_not_of(" \t", at)) != std::string::npos) {
    const std::size_t end = text.find_first_of(" \t", at);
    words.push_back(text.substr(at, end - at));
    at = end;
  }
  return words;
}

// A digit run that shows each byte's offset (byte i is '0' + i % 10), with "<END>" as its last five
// bytes, so that a cut reply shows where it was cut.
std::string LongReply(std::size_t size) {
  std::string reply;
  for (std::size_t i = 0; i < size; ++i) reply += static_cast<char>('0' + i % 10);
  if (size >= 5) reply.replace(size - 5, 5, "<END>");
  return reply;
}

// Random bytes, at least one of them NUL, which ends the bridge's view of the text early.
std::string BinaryReply(std::size_t size) {
  std::string reply;
  for (std::size_t i = 0; i < size; ++i) reply += static_cast<char>(generator() & 0xFF);
  if (size > 0 && reply.find('\0') == std::string::npos) reply[size / 2] = '\0';
  return reply;
}

// The setters shared by the options and the commands on standard input. Each answers an error
// text, empty when done, and changes nothing when it fails.
std::string SetReply(std::string& reply, const std::string& text) {
  std::string bytes;
  const std::string error = Unescape(text, bytes);
  if (error.empty()) reply = bytes;
  return error;
}

std::string SetNumber(unsigned long& into, const std::string& text, unsigned long max) {
  unsigned long value = 0;
  if (!ParseCount(text, max, value)) {
    return "'" + text + "' is not a number from 0 to " + std::to_string(max);
  }
  into = value;
  return "";
}

std::string SetGenerated(const std::string& text, std::string (*make)(std::size_t)) {
  unsigned long size = 0;
  const std::string error = SetNumber(size, text, kMaxReply);
  if (error.empty()) behaviour.p = behaviour.r = make(size);
  return error;
}

std::string SetSplit(const std::string& text) {
  const std::vector<std::string> words = Words(text);
  if (words.empty() || words.size() > 2) return "split takes N [PAUSE_MS]";
  unsigned long bytes = 0, pause = behaviour.splitPauseMs;
  std::string error = SetNumber(bytes, words[0], kMaxReply);
  if (error.empty() && words.size() == 2) error = SetNumber(pause, words[1], kMaxMs);
  if (!error.empty()) return error;
  behaviour.splitBytes = bytes;
  behaviour.splitPauseMs = pause;
  return "";
}

void FlushOutgoing() {
  while (!outgoing.empty()) {
    std::string error;
    const long taken = LineWrite(outgoing.data(), outgoing.size(), error);
    if (taken > 0) {
      outgoing.erase(0, static_cast<std::size_t>(taken));
    } else if (taken == 0) {
      return;  // the line is full: the event loop waits for room
    } else {
      Log("-- write failed (%s): %zu bytes dropped", error.c_str(), outgoing.size());
      outgoing.clear();
    }
  }
}

void Transmit(const std::string& bytes, const std::string& note) {
  if (!LinePlugged()) {
    Log("-> %s dropped: unplugged", Shown(bytes).c_str());
    return;
  }
  outgoing += bytes;
  FlushOutgoing();
  Log("-> %s (%zu byte%s%s)", Shown(bytes).c_str(), bytes.size(), bytes.size() == 1 ? "" : "s",
      note.c_str());
}

void Answer(char letter) {
  std::deque<std::string>& once = letter == 'P' ? behaviour.nextP : behaviour.nextR;
  std::string reply, note;
  if (!once.empty()) {
    reply = once.front();
    once.pop_front();
    note = ", once";
  } else if (behaviour.silent) {
    Log("-- %c unanswered (silent)", letter);
    return;
  } else {
    reply = letter == 'P' ? behaviour.p : behaviour.r;
  }
  // The clock's current millisecond may be nearly over: one more keeps a delay from falling short
  // of what was asked by a fraction of a millisecond.
  const std::uint64_t due = NowMs() + (behaviour.delayMs > 0 ? behaviour.delayMs + 1 : 0);
  if (behaviour.splitBytes > 0 && behaviour.splitBytes < reply.size()) {
    schedule.push_back({due, reply.substr(0, behaviour.splitBytes), ", part 1 of 2" + note});
    schedule.push_back(
        {due + behaviour.splitPauseMs, reply.substr(behaviour.splitBytes), ", part 2 of 2" + note});
  } else {
    schedule.push_back({due, reply, note});
  }
}

void ReportNoise() {
  if (!heard.empty()) {
    Log("<- ignored %s (%zu byte%s)", Shown(heard).c_str(), heard.size(),
        heard.size() == 1 ? "" : "s");
  }
  heard.clear();
}

// A command is its letter followed by a line feed. Anything else is noise, which the device
// ignores but logs, so that a stray byte from the bridge shows.
void Hear(const char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    heard += data[i];
    const std::size_t n = heard.size();
    if (data[i] == '\n' && n >= 2 && (heard[n - 2] == 'P' || heard[n - 2] == 'R')) {
      const char letter = heard[n - 2];
      heard.resize(n - 2);
      ReportNoise();
      Log("<- %c", letter);
      Answer(letter);
    }
  }
  // A trailing letter waits: its line feed may come with the next read.
  const bool waiting = !heard.empty() && (heard.back() == 'P' || heard.back() == 'R');
  const std::string letter = waiting ? heard.substr(heard.size() - 1) : "";
  if (waiting) heard.pop_back();
  ReportNoise();
  heard = letter;
}

// A pulled adapter: replies not yet on the line are lost with the device's power.
std::string Unplug() {
  std::string name;
  const std::string error = LineUnplug(name);
  if (!error.empty()) return error;
  Log("-- unplugged %s: %zu reply pieces and %zu bytes dropped", name.c_str(), schedule.size(),
      outgoing.size());
  schedule.clear();
  outgoing.clear();
  heard.clear();
  return "";
}

// Applies one command line from standard input. Answers an error text, empty when done.
std::string Obey(const std::string& line, bool& quit) {
  const std::size_t space = line.find(' ');
  const std::string verb = line.substr(0, space);
  const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
  const std::vector<std::string> words = Words(rest);
  if (verb == "p") return SetReply(behaviour.p, rest);
  if (verb == "r") return SetReply(behaviour.r, rest);
  if (verb == "next") {
    const std::size_t gap = rest.find(' ');
    const std::string letter = rest.substr(0, gap);
    if (letter != "p" && letter != "r") return "next takes p or r, then the text";
    std::string reply;
    const std::string error = SetReply(reply, gap == std::string::npos ? "" : rest.substr(gap + 1));
    if (error.empty()) (letter == "p" ? behaviour.nextP : behaviour.nextR).push_back(reply);
    return error;
  }
  if (verb == "send") {
    std::string bytes;
    const std::string error = Unescape(rest, bytes);
    if (error.empty()) Transmit(bytes, ", unsolicited");
    return error;
  }
  if (verb == "delay")
    return SetNumber(behaviour.delayMs, words.size() == 1 ? words[0] : "", kMaxMs);
  if (verb == "split") return SetSplit(rest);
  if (verb == "silent") {
    if (words.size() != 1 || (words[0] != "on" && words[0] != "off"))
      return "silent takes on or off";
    behaviour.silent = words[0] == "on";
    return "";
  }
  if (verb == "long") return SetGenerated(words.size() == 1 ? words[0] : "", LongReply);
  if (verb == "binary") return SetGenerated(words.size() == 1 ? words[0] : "", BinaryReply);
  if (verb == "unplug" && words.empty()) return Unplug();
  if (verb == "plug" && words.empty()) return LinePlug();
  if (verb == "quit" && words.empty()) {
    quit = true;
    return "";
  }
  return "unknown command '" + line + "'";
}

void PrintHelp() {
  std::printf(
      "usage: okvsim-device [OPTIONS]\n"
      "%s"
      "\n"
      "Line:\n"
      "%s"
      "Replies (TEXT takes the escapes \\n \\r \\t \\\\ \\\" \\0 \\xHH):\n"
      "  --p TEXT           reply to P (default \"Turning On\")\n"
      "  --r TEXT           reply to R (default \"A123\")\n"
      "  --delay MS         wait before replying (default 0)\n"
      "  --split N          send the first N bytes of a reply, pause, then the rest (0: whole)\n"
      "  --split-pause MS   the pause of a split reply (default 1000)\n"
      "  --silent           leave commands unanswered\n"
      "  --long N           reply to P and R with N bytes: '0' + offset %% 10, ending in "
      "\"<END>\"\n"
      "  --binary N         reply to P and R with N random bytes, at least one of them NUL\n"
      "Control:\n"
      "  --exit-on-eof      end at the end of standard input (default: keep answering)\n"
      "  --version          the package's version\n"
      "  --help             this text\n"
      "Options of the same reply apply in order: the last one wins.\n"
      "\n"
      "Commands on standard input, one a line (each done is logged as \"ok COMMAND\"):\n"
      "  p TEXT | r TEXT    standing reply to P or R\n"
      "  next p TEXT        reply to the next P only (next r TEXT: R); they queue up, and are\n"
      "                     sent even while silent\n"
      "  send TEXT          write TEXT on the line now, unasked\n"
      "  delay MS           wait before replying\n"
      "  split N [PAUSE_MS] split replies after N bytes (split 0: whole)\n"
      "  silent on|off      leave commands unanswered, or answer again\n"
      "  long N | binary N  as the options\n"
      "%s"
      "  quit               end\n"
      "Lines that are empty or start with # are skipped; a bad command is reported on stderr.\n"
      "\n"
      "%s",
      LineHelpIntro(), LineHelpOptions(), LineHelpPlug(), LineHelpEnding());
}

Options ParseOptions(int argc, char** argv) {
  static const char* const kValued[] = {"--p",           "--r",    "--delay",  "--split",
                                        "--split-pause", "--long", "--binary", "--ports",
                                        "--com",         "--tty",  "--port"};
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i], value;
    const std::size_t equals = name.find('=');
    const bool inlineValue = name.rfind("--", 0) == 0 && equals != std::string::npos;
    if (inlineValue) {
      value = name.substr(equals + 1);
      name.resize(equals);
    }
    if (name == "--help" || name == "--version" || name == "--silent" || name == "--exit-on-eof") {
      if (inlineValue) UsageError(name + " takes no value");
      if (name == "--version") {
        std::printf("okvsim-device %s\n", OKV_VERSION);
        std::fflush(stdout);
        std::exit(0);
      }
      if (name == "--help") {
        PrintHelp();
        std::exit(0);
      }
      if (name == "--silent") behaviour.silent = true;
      if (name == "--exit-on-eof") options.exitOnEof = true;
      continue;
    }
    bool known = false;
    for (const char* valued : kValued) known = known || name == valued;
    if (!known) UsageError("unknown option '" + name + "'");
    if (!inlineValue) {
      if (i + 1 >= argc) UsageError(name + " needs a value");
      value = argv[++i];
    }
    std::string error;
    LineSettings& line = options.line;
    if (name == "--p") error = SetReply(behaviour.p, value);
    if (name == "--r") error = SetReply(behaviour.r, value);
    if (name == "--delay") error = SetNumber(behaviour.delayMs, value, kMaxMs);
    if (name == "--split") error = SetNumber(behaviour.splitBytes, value, kMaxReply);
    if (name == "--split-pause") error = SetNumber(behaviour.splitPauseMs, value, kMaxMs);
    if (name == "--long") error = SetGenerated(value, LongReply);
    if (name == "--binary") error = SetGenerated(value, BinaryReply);
    if (name == "--ports") {
      line.ports = value;
      line.portsGiven = true;
    }
    if (name == "--com") {
      error = SetNumber(line.com, value, kMaxCom);
      line.comGiven = true;
    }
    if (name == "--tty") line.tty = value;
    if (name == "--port") line.port = value;
    if (!error.empty()) UsageError(name + ": " + error);
  }
  const std::string error = LineCheck(options.line);
  if (!error.empty()) UsageError(error);
  return options;
}

// Takes standard input as it comes and obeys its complete lines. Answers why the device is to
// end, or nullptr to go on.
const char* TakeControl(const LineEvent& event, bool& controlOpen, const Options& options) {
  if (event.kind == LineEvent::kInput)
    control += event.data;
  else
    controlOpen = false;
  if (!controlOpen && !control.empty()) control += '\n';  // a last line without its line feed
  std::size_t end = 0;
  while ((end = control.find('\n')) != std::string::npos) {
    std::string line = control.substr(0, end);
    control.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    bool quit = false;
    const std::string error = Obey(line, quit);
    if (!error.empty()) {
      Complain(error);
      continue;
    }
    Log("ok %s", line.c_str());
    if (quit) return "quit";
  }
  if (controlOpen) return nullptr;
  if (options.exitOnEof) return "end of input";
  Log("-- end of input: answering on");
  return nullptr;
}

// The event loop: waits for the line, standard input, what ends the device, or the next piece
// of reply that falls due. Answers why it ended; `failed` when it had to.
std::string Run(const Options& options, bool& failed) {
  bool controlOpen = true;
  bool hungUp = false;
  std::uint64_t deafUntil = 0;
  std::vector<LineEvent> events;
  for (;;) {
    std::uint64_t now = NowMs();
    while (!schedule.empty() && schedule.front().due <= now) {
      Transmit(schedule.front().bytes, schedule.front().note);
      schedule.pop_front();
    }
    int timeout = -1;
    if (!schedule.empty()) timeout = static_cast<int>(schedule.front().due - now);
    const bool listening = now >= deafUntil;
    if (!listening && (timeout < 0 || deafUntil - now < static_cast<std::uint64_t>(timeout))) {
      timeout = static_cast<int>(deafUntil - now);
    }
    events.clear();
    std::string error;
    if (!LineWait(timeout, listening, !outgoing.empty(), events, error)) {
      failed = true;
      return error;
    }
    now = NowMs();
    for (const LineEvent& event : events) {
      switch (event.kind) {
        case LineEvent::kInterrupt:
          return event.data;
        case LineEvent::kBytes:
          if (hungUp) Log("-- line back");
          hungUp = false;
          Hear(event.data.data(), event.data.size());
          break;
        case LineEvent::kHungUp:
          // A hung-up line (a pulled adapter, a closed far end) stays readable for ever with
          // nothing to read: look at it again only after a while.
          if (!hungUp) Log("-- line hung up: looking again every %d ms", kDeafMs);
          hungUp = true;
          deafUntil = now + kDeafMs;
          break;
        case LineEvent::kRoom:
          FlushOutgoing();
          break;
        case LineEvent::kInput:
        case LineEvent::kInputEnd:
          if (!controlOpen) break;
          if (const char* why = TakeControl(event, controlOpen, options)) return why;
          break;
      }
    }
  }
}

}  // namespace

// One time-stamped line, flushed at once: a harness reads the log through a pipe and waits on it.
void Log(const char* format, ...) {
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  LineWallClock(hour, minute, second, millisecond);
  std::printf("%02d:%02d:%02d.%03d ", hour, minute, second, millisecond);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::putchar('\n');
  std::fflush(stdout);
}

void Complain(const std::string& message) {
  std::fprintf(stderr, "okvsim-device: %s\n", message.c_str());
  std::fflush(stderr);
}

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  bool usage = false;
  const std::string error = LineStart(options.line, usage);
  if (!error.empty()) {
    Complain(error);
    return usage ? kExitUsage : kExitFailure;
  }
  bool failed = false;
  const std::string why = Run(options, failed);
  FlushOutgoing();
  LineStop();
  Log("-- ending: %s", why.c_str());
  return failed ? kExitFailure : 0;
}
