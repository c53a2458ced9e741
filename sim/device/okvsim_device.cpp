// okvsim-device: the serial device at the far end of okvbridge, simulated. It plays the device on a
// pseudo-terminal linked as COM<n> in a ports folder (or on a named tty), answers "P\n" and "R\n"
// with replies shaped by options and, while it runs, by commands on standard input, and logs every
// exchange with a time stamp.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
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
  std::string ports;
  unsigned long com = 4;
  std::string tty;
  bool exitOnEof = false;
};

Behaviour behaviour;
std::deque<Piece> schedule;
std::string outgoing;               // due, but not yet taken by the line
std::string heard;                  // bytes since the last command
std::string control;                // standard input not yet ended by a line feed
std::mt19937 generator(20240611u);  // fixed seed: binary replies are the same from run to run

int lineFd = -1;     // the pseudo-terminal master, or the tty of --tty
int slaveHold = -1;  // our own hold on the slave: the master never hangs up between sessions
int watchFd = -1;    // inotify on the slave, for the opens and closes of a peer
int signalPipe[2] = {-1, -1};
std::string slavePath;
std::string linkPath;
const Options* lineOptions = nullptr;  // for plugging the line in again

std::uint64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

// One time-stamped line, flushed at once: a harness reads the log through a pipe and waits on it.
__attribute__((format(printf, 1, 2))) void Log(const char* format, ...) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  std::printf("%02d:%02d:%02d.%03ld ", local.tm_hour, local.tm_min, local.tm_sec,
              now.tv_nsec / 1000000);
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
    const ssize_t written = write(lineFd, outgoing.data(), outgoing.size());
    if (written > 0) {
      outgoing.erase(0, static_cast<std::size_t>(written));
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else if (written < 0 && errno == EAGAIN) {
      return;  // the line is full: the event loop waits for room
    } else {
      Log("-- write failed (%s): %zu bytes dropped", std::strerror(errno), outgoing.size());
      outgoing.clear();
    }
  }
}

void Transmit(const std::string& bytes, const std::string& note) {
  if (lineFd < 0) {
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
  const std::uint64_t due = NowMs() + behaviour.delayMs;
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

std::string Unplug();
std::string PlugIn();

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
  if (verb == "plug" && words.empty()) return PlugIn();
  if (verb == "quit" && words.empty()) {
    quit = true;
    return "";
  }
  return "unknown command '" + line + "'";
}

void PrintHelp() {
  std::printf(
      "usage: okvsim-device [OPTIONS]\n"
      "A simulated serial device for okvbridge: answers \"P\\n\" and \"R\\n\" on a "
      "pseudo-terminal\n"
      "linked as COM<n> in a ports folder, or on an existing tty.\n"
      "\n"
      "Line:\n"
      "  --ports DIR        ports folder for the link (default: $OKVBRIDGE_PORTS)\n"
      "  --com N            link name COM<N> (default 4)\n"
      "  --tty PATH         play the device on this tty (raw 9600 8N1), no pseudo-terminal, no "
      "link\n"
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
      "  unplug             close the pseudo-terminal and remove the link, as a USB adapter\n"
      "                     pulled out; replies not yet sent are lost\n"
      "  plug               a new pseudo-terminal linked under the same name, as the adapter\n"
      "                     plugged in again\n"
      "  quit               end\n"
      "Lines that are empty or start with # are skipped; a bad command is reported on stderr.\n"
      "\n"
      "The log on stdout: \"ready COM<N> -> SLAVE\" (or \"ready PATH\") once the line is up, then\n"
      "time-stamped lines: \"<- P\", \"-> \\\"Turning On\\\" (10 bytes)\", \"ok delay 300\", ...\n"
      "Ends on quit, SIGINT, SIGTERM or SIGHUP with exit code 0, removing its link; exit code 2\n"
      "for a bad option or a link that another live device holds, 1 when the line cannot be set "
      "up.\n");
}

Options ParseOptions(int argc, char** argv) {
  static const char* const kValued[] = {"--p",    "--r",      "--delay", "--split", "--split-pause",
                                        "--long", "--binary", "--ports", "--com",   "--tty"};
  Options options;
  if (const char* folder = std::getenv("OKVBRIDGE_PORTS")) options.ports = folder;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i], value;
    const std::size_t equals = name.find('=');
    const bool inlineValue = name.rfind("--", 0) == 0 && equals != std::string::npos;
    if (inlineValue) {
      value = name.substr(equals + 1);
      name.resize(equals);
    }
    if (name == "--help" || name == "--silent" || name == "--exit-on-eof") {
      if (inlineValue) UsageError(name + " takes no value");
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
    if (name == "--p") error = SetReply(behaviour.p, value);
    if (name == "--r") error = SetReply(behaviour.r, value);
    if (name == "--delay") error = SetNumber(behaviour.delayMs, value, kMaxMs);
    if (name == "--split") error = SetNumber(behaviour.splitBytes, value, kMaxReply);
    if (name == "--split-pause") error = SetNumber(behaviour.splitPauseMs, value, kMaxMs);
    if (name == "--long") error = SetGenerated(value, LongReply);
    if (name == "--binary") error = SetGenerated(value, BinaryReply);
    if (name == "--ports") options.ports = value;
    if (name == "--com") error = SetNumber(options.com, value, kMaxCom);
    if (name == "--tty") options.tty = value;
    if (!error.empty()) UsageError(name + ": " + error);
  }
  if (options.tty.empty() && options.ports.empty()) {
    UsageError("no ports folder: give --ports DIR or set OKVBRIDGE_PORTS");
  }
  return options;
}

// Raw 8N1 at 9600 without flow control, as the bridge sets its side. Above all no echo: what the
// device writes must never come back to it as a command.
bool MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

std::string OpenPseudoTerminal() {
  lineFd = posix_openpt(O_RDWR | O_NOCTTY);
  if (lineFd < 0) return std::string("no pseudo-terminal: ") + std::strerror(errno);
  fcntl(lineFd, F_SETFD, FD_CLOEXEC);
  fcntl(lineFd, F_SETFL, fcntl(lineFd, F_GETFL) | O_NONBLOCK);
  const char* name = grantpt(lineFd) == 0 && unlockpt(lineFd) == 0 ? ptsname(lineFd) : nullptr;
  if (name == nullptr) return std::string("pseudo-terminal not usable: ") + std::strerror(errno);
  slavePath = name;
  slaveHold = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  // Raw before anyone can open the link: an echoing slave would hand unsolicited bytes back.
  if (slaveHold < 0 || !MakeRaw(slaveHold)) {
    return "cannot set up " + slavePath + ": " + std::strerror(errno);
  }
  // Without the watch the device still works; only a peer's close is not tidied up after.
  watchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watchFd >= 0 && inotify_add_watch(watchFd, name, IN_OPEN | IN_CLOSE) < 0) {
    close(watchFd);
    watchFd = -1;
  }
  return "";
}

// Answers an error text, empty when done; `usage` tells whether the fault is the caller's.
std::string OpenTty(const std::string& path, bool& usage) {
  lineFd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (lineFd < 0) return "cannot open " + path + ": " + std::strerror(errno);
  usage = true;
  if (!isatty(lineFd)) return path + " is not a tty";
  // Two devices on one line would answer each command twice.
  if (flock(lineFd, LOCK_EX | LOCK_NB) != 0) return path + " is in use by another program";
  usage = false;
  if (!MakeRaw(lineFd)) return "cannot set up " + path + ": " + std::strerror(errno);
  slavePath = path;
  return "";
}

// Links the slave as COM<n>. A link to a live tty belongs to someone else and is left alone; one
// whose target is gone (a device that was killed outright) is replaced.
std::string PlaceLink(const Options& options) {
  struct stat folder {};
  if (stat(options.ports.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
    return "ports folder " + options.ports + " is not a directory";
  }
  const std::string path = options.ports + "/COM" + std::to_string(options.com);
  struct stat entry {};
  struct stat target {};
  struct stat ours {};
  if (lstat(path.c_str(), &entry) == 0) {
    if (!S_ISLNK(entry.st_mode)) return path + " exists and is not a symbolic link";
    // Our own slave may carry the name a killed device's link still points at.
    const bool live = stat(path.c_str(), &target) == 0 && S_ISCHR(target.st_mode) &&
                      !(stat(slavePath.c_str(), &ours) == 0 && ours.st_rdev == target.st_rdev);
    char old[4096] = {};
    const ssize_t length = readlink(path.c_str(), old, sizeof old - 1);
    const std::string oldTarget(old, length > 0 ? static_cast<std::size_t>(length) : 0);
    if (live) return path + " links to " + oldTarget + ", a live tty: is another device running?";
    if (unlink(path.c_str()) != 0) return "cannot remove the stale link " + path;
    std::printf("replaced stale link %s -> %s\n", path.c_str(), oldTarget.c_str());
  }
  if (symlink(slavePath.c_str(), path.c_str()) != 0) {
    return "cannot link " + path + ": " + std::strerror(errno);
  }
  linkPath = path;
  return "";
}

void RemoveLink() {
  if (linkPath.empty()) return;
  char target[4096] = {};
  const ssize_t length = readlink(linkPath.c_str(), target, sizeof target - 1);
  // Only while it is still ours: someone may have put another link in its place.
  if (length > 0 && slavePath == std::string(target, static_cast<std::size_t>(length))) {
    unlink(linkPath.c_str());
  }
  linkPath.clear();
}

// A pulled USB adapter: the far end of every open descriptor hangs up for good, the name goes
// away, and replies not yet on the line are lost with the device's power.
std::string Unplug() {
  if (lineOptions == nullptr || !lineOptions->tty.empty()) return "unplug needs a pseudo-terminal";
  if (lineFd < 0) return "the line is unplugged already";
  RemoveLink();
  close(lineFd);  // the master first: the peers' descriptors hang up now
  lineFd = -1;
  for (int* fd : {&slaveHold, &watchFd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  Log("-- unplugged %s: %zu reply pieces and %zu bytes dropped", slavePath.c_str(), schedule.size(),
      outgoing.size());
  schedule.clear();
  outgoing.clear();
  heard.clear();
  return "";
}

// The adapter back in: a new pseudo-terminal under the old name. A bridge still holding the old
// one must open the name again to reach it, as with a real adapter.
std::string PlugIn() {
  if (lineOptions == nullptr || !lineOptions->tty.empty()) return "plug needs a pseudo-terminal";
  if (lineFd >= 0) return "the line is plugged in already";
  std::string error = OpenPseudoTerminal();
  if (error.empty()) error = PlaceLink(*lineOptions);
  if (!error.empty()) {
    for (int* fd : {&lineFd, &slaveHold, &watchFd}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    return error;
  }
  Log("-- plugged in: %s -> %s", linkPath.c_str(), slavePath.c_str());
  return "";
}

void OnSignal(int number) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(number);
  if (write(signalPipe[1], &byte, 1) < 0) {
    // The pipe is full of earlier signals, which end the device all the same.
  }
  errno = saved;
}

bool CatchSignals() {
  if (pipe2(signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (const int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a harness that stops reading the log must not kill the device
  return true;
}

// Holding the slave ourselves keeps the pseudo-terminal alive between sessions, but it also keeps
// what a real port forgets at its last close: the exclusive mode the bridge sets (which would
// refuse the bridge's next start, unless it runs as root) and the input nobody read. Both are
// dropped when a peer closes, as a real port would drop them.
void WatchPeers() {
  alignas(inotify_event) char events[4096];
  const ssize_t length = read(watchFd, events, sizeof events);
  for (ssize_t at = 0; at < length;) {
    const inotify_event* event = reinterpret_cast<const inotify_event*>(events + at);
    if ((event->mask & IN_OPEN) != 0) Log("-- line opened");
    if ((event->mask & IN_CLOSE) != 0) {
      ioctl(slaveHold, TIOCNXCL);
      tcflush(slaveHold, TCIFLUSH);
      Log("-- line closed");
    }
    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
}

// Reads what standard input holds and obeys its complete lines. Answers why the device is to
// end, or nullptr to go on.
const char* ReadControl(bool& controlOpen, const Options& options) {
  char buffer[4096];
  const ssize_t length = read(STDIN_FILENO, buffer, sizeof buffer);
  if (length < 0 && (errno == EINTR || errno == EAGAIN)) return nullptr;
  if (length > 0)
    control.append(buffer, static_cast<std::size_t>(length));
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

const char* SignalName(int number) {
  return number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "SIGHUP";
}

// The event loop: waits in poll() for the line, standard input, signals, a peer's open or close,
// or the next piece of reply that falls due. Answers why it ended; `failed` when it had to.
std::string Run(const Options& options, bool& failed) {
  bool controlOpen = true;
  bool hungUp = false;
  std::uint64_t deafUntil = 0;
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
    pollfd fds[4] = {{signalPipe[0], POLLIN, 0}, {-1, 0, 0}, {-1, POLLIN, 0}, {watchFd, POLLIN, 0}};
    if (listening) {
      fds[1].fd = lineFd;
      fds[1].events = static_cast<short>(POLLIN | (outgoing.empty() ? 0 : POLLOUT));
    }
    if (controlOpen) fds[2].fd = STDIN_FILENO;
    if (poll(fds, 4, timeout) < 0) {
      if (errno == EINTR) continue;
      failed = true;
      return std::string("poll failed: ") + std::strerror(errno);
    }
    now = NowMs();
    if ((fds[0].revents & POLLIN) != 0) {
      unsigned char number = 0;
      if (read(signalPipe[0], &number, 1) == 1) return SignalName(number);
    }
    if ((fds[3].revents & POLLIN) != 0) WatchPeers();  // first, so the log keeps the order
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char data[4096];
      const ssize_t length = read(lineFd, data, sizeof data);
      if (length > 0) {
        if (hungUp) Log("-- line back");
        hungUp = false;
        Hear(data, static_cast<std::size_t>(length));
      } else if (length == 0 || (errno != EAGAIN && errno != EINTR)) {
        // A hung-up line (a pulled adapter, a closed far end) stays readable for ever with
        // nothing to read: look at it again only after a while.
        if (!hungUp) Log("-- line hung up: looking again every %d ms", kDeafMs);
        hungUp = true;
        deafUntil = now + kDeafMs;
      }
    }
    if ((fds[1].revents & POLLOUT) != 0) FlushOutgoing();
    if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
      if ((fds[2].revents & POLLNVAL) != 0) controlOpen = false;
      if (const char* why = ReadControl(controlOpen, options)) return why;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  lineOptions = &options;
  if (!CatchSignals()) {
    Complain(std::string("no signal pipe: ") + std::strerror(errno));
    return kExitFailure;
  }
  bool usage = false;
  std::string error = options.tty.empty() ? OpenPseudoTerminal() : OpenTty(options.tty, usage);
  if (error.empty() && options.tty.empty()) {
    usage = true;
    error = PlaceLink(options);
  }
  if (!error.empty()) {
    Complain(error);
    return usage ? kExitUsage : kExitFailure;
  }
  if (options.tty.empty()) {
    std::printf("slave %s\nlink %s -> %s\nready COM%lu -> %s\n", slavePath.c_str(),
                linkPath.c_str(), slavePath.c_str(), options.com, slavePath.c_str());
  } else {
    std::printf("ready %s\n", slavePath.c_str());
  }
  std::fflush(stdout);
  bool failed = false;
  const std::string why = Run(options, failed);
  FlushOutgoing();
  RemoveLink();
  Log("-- ending: %s", why.c_str());
  return failed ? kExitFailure : 0;
}
