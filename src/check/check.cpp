// okvbridge-check: the operator's diagnostics. It says why the bridge cannot open its port or
// reach the runtime library, in the system's words, and tries the device line once. Every check
// goes through the bridge's own port, library and transaction code, so that it cannot pass where
// the bridge fails; it only adds the questions the bridge never asks (why, and which file).
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "check/check_os.h"
#include "check/library_file.h"
#include "check/port_words.h"
#include "platform/platform.h"
#include "runtime/runtime_link.h"
#include "serial/port_access.h"

namespace {

using checkwords::ExplainPortFailure;
using checkwords::Join;
using checkwords::WithHint;

constexpr int kUsage = 2;
constexpr char kEntryPoint[] = "KoltEntryPoint";
constexpr std::size_t kNamesShown = 8;
// While a poll pause of the transaction runs, the line is looked at this often to time the first
// byte; the pause itself keeps the transaction's length.
constexpr std::uint32_t kWatchStepMs = 2;
// The reply's rest has all come once the line stays quiet this long (a byte takes 1 ms at 9600).
constexpr std::uint32_t kQuietMs = 300;
constexpr std::uint32_t kLongestRestMs = 10000;

struct Options {
  bool help = false;
  bool version = false;
  bool probe = false;
  char exchange = 0;  // 'P', 'R', or 0 for none
  std::vector<const char*> ports;
};

// The timing of one exchange, kept by the pause that the transaction's wait calls.
std::uint32_t exchangeStart = 0;
bool firstByteSeen = false;
std::uint32_t firstByteMs = 0;

std::string Number(std::uint64_t value) {
  return std::to_string(value);
}

// Bytes as a quoted C-like string: printable ASCII as it is, everything else escaped.
std::string Escape(const char* bytes, std::size_t count) {
  std::string text = "\"";
  for (std::size_t i = 0; i < count; ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    char escaped[8];
    if (byte == '"' || byte == '\\') {
      text += '\\';
      text += static_cast<char>(byte);
    } else if (byte == '\n' || byte == '\r' || byte == '\t') {
      text += byte == '\n' ? "\\n" : byte == '\r' ? "\\r" : "\\t";
    } else if (byte >= 0x20 && byte < 0x7F) {
      text += static_cast<char>(byte);
    } else {
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      text += escaped;
    }
  }
  return text + "\"";
}

// One line per check, flushed, so that a check that hangs leaves the earlier ones on screen.
bool Report(bool ok, const std::string& subject, const std::string& detail) {
  std::printf("%s %s: %s\n", ok ? "ok  " : "FAIL", subject.c_str(), detail.c_str());
  std::fflush(stdout);
  return ok;
}

void PrintHelp() {
  const char* library = platform::RuntimeLibraryName();
  std::printf(
      "Usage: okvbridge-check [OPTIONS] [PORT]\n"
      "\n"
      "Tells why okvbridge cannot open its serial port or reach the runtime library, in the\n"
      "system's words, and tries the device line. PORT is read as okvbridge reads it (default 4).\n"
      "Each check prints one line beginning with \"ok\" or \"FAIL\"; a failure gives the system's\n"
      "reason and what to do. Every check runs the bridge's own code for what it checks.\n"
      "\n"
      "Checks, in this order:\n"
      "  serial ports     the serial ports of this computer: on Windows those the system\n"
      "                   registers; on Linux the ttys with a device behind them and the COM<n>\n"
      "                   entries of $OKVBRIDGE_PORTS.\n"
      "  port COM<n>      opens the port as okvbridge does (its device names, 9600 8N1 without\n"
      "                   flow control, DTR and RTS off, for this program alone), then puts the\n"
      "                   port's own settings back and closes it. Tells apart: no such port (and\n"
      "                   which there are), held by another program (most often a running\n"
      "                   okvbridge), access refused, no device behind it, not a serial port,\n"
      "                   settings refused by the driver.\n"
      "  runtime library  which %s okvbridge would load, found by the same search, with\n"
      "                   its full path, and whether it is 32- or 64-bit against this build, read\n"
      "                   from the file's header. When it does not load: where the search looked,\n"
      "                   and whether the file found is of the other width or machine, is no\n"
      "                   library at all, is truncated, or needs a library that is missing.\n"
      "  entry point      whether the library exports %s; when it does not, the names it\n"
      "                   exports that look like it (another case, a decorated or C++ name).\n"
      "\n"
      "Options:\n"
      "  --probe          also asks the runtime once, through the entry point, whether an\n"
      "                   executor is installed. Nothing else calls the runtime: no variable is\n"
      "                   read or written and the mailbox is never touched, so a running bridge\n"
      "                   is not disturbed.\n"
      "  --exchange P|R   also sends the command P or R once on the port, waits for the reply as\n"
      "                   the bridge's transaction does (a look every 800 ms for P, 200 ms for R,\n"
      "                   up to 5 s) and shows it as the bridge would take it: its bytes escaped,\n"
      "                   their count, the time to the first byte, and the codes the bridge would\n"
      "                   post in m1000 (and l1000). This commissions the device line before the\n"
      "                   runtime is there; a running bridge holds the port, so stop it first.\n"
      "  --version        the package's version, as the version resource of the .exe gives it\n"
      "  -h, --help       this text\n"
      "\n"
      "Exit status: 0 when every check passed, 1 when one failed, 2 for bad usage.\n",
      library, kEntryPoint);
}

// Empty when the arguments make sense, else the reason in one line.
std::string ParseOptions(int argc, char** argv, Options& options) {
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const bool option =
        !optionsEnded && argument.size() >= 2 && argument[0] == '-' &&
        (argument[1] == '-' || std::isalpha(static_cast<unsigned char>(argument[1])));
    if (!option) {
      options.ports.push_back(argv[i]);  // "-1" too: okvbridge reads it as a port number
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else if (argument == "--version") {
      options.version = true;
    } else if (argument == "--probe") {
      options.probe = true;
    } else if (argument == "--exchange" || argument.rfind("--exchange=", 0) == 0) {
      if (argument == "--exchange" && i + 1 >= argc) return "--exchange needs P or R";
      const std::string value = argument == "--exchange" ? argv[++i] : argument.substr(11);
      if (value != "P" && value != "R" && value != "p" && value != "r") {
        return "--exchange takes P or R, not " + Escape(value.data(), value.size());
      }
      if (options.exchange != 0) return "one --exchange at a time";
      options.exchange = static_cast<char>(std::toupper(static_cast<unsigned char>(value[0])));
    } else {
      return "unknown option " + Escape(argument.data(), argument.size());
    }
  }
  if (options.ports.size() > 1) {
    return "one PORT at most, not " + Number(options.ports.size()) +
           " (okvbridge given these would ignore them all and use COM4)";
  }
  return "";
}

bool IsFile(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == S_IFREG;
}

// Answers 0, or the errno of the failed open or read.
int ReadWholeFile(const std::string& path, FileBytes& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return errno;
  char chunk[65536];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  const int error = std::ferror(file) != 0 ? EIO : 0;
  std::fclose(file);
  return error;
}

LibraryHeader ProgramHeaderOf(const std::string& path) {
  FileBytes bytes;
  ReadWholeFile(path, bytes);
  return ReadProgramHeader(bytes);
}

// --- the ports -----------------------------------------------------------------------------

std::string Describe(const checkos::SerialPort& port) {
  std::string text = port.name.empty() ? port.device : port.name + " (" + port.device;
  if (!port.note.empty()) text += (port.name.empty() ? " (" : ", ") + port.note;
  if (!port.name.empty() || !port.note.empty()) text += ")";
  return text;
}

bool CheckPortList(const std::vector<checkos::SerialPort>& ports) {
  if (ports.empty()) {
    return Report(false, "serial ports",
                  WithHint("none found on this computer",
                           "plug the serial adapter in and install its driver"));
  }
  std::vector<std::string> described;
  for (const auto& port : ports) described.push_back(Describe(port));
  return Report(true, "serial ports", Join(described));
}

// --- the exchange --------------------------------------------------------------------------

// The transaction's poll pause, of the same length, with a look at the line every few
// milliseconds to time the first byte.
void WatchingPause(std::uint32_t ms) {
  const std::uint32_t begun = platform::TickCount();
  for (;;) {
    const std::uint32_t elapsed = platform::TickCount() - begun;
    if (!firstByteSeen && WaitingCount() > 0) {
      firstByteSeen = true;
      firstByteMs = platform::TickCount() - exchangeStart;
    }
    if (elapsed >= ms) return;
    platform::SleepMs(ms - elapsed < kWatchStepMs ? ms - elapsed : kWatchStepMs);
  }
}

// Takes (and counts) what the device sends after the reply was taken, until the line is quiet.
std::uint64_t TakeTheRest(bool& stillComing) {
  char scratch[4096];
  std::uint64_t rest = 0;
  const std::uint32_t begun = platform::TickCount();
  std::uint32_t lastByte = begun;
  stillComing = false;
  while (platform::TickCount() - lastByte < kQuietMs) {
    if (platform::TickCount() - begun >= kLongestRestMs) {
      stillComing = true;
      break;
    }
    std::uint32_t waiting = WaitingCount();
    if (waiting == 0) {
      platform::SleepMs(10);
      continue;
    }
    if (waiting > sizeof scratch) waiting = sizeof scratch;
    if (ReadWaiting(scratch, waiting) == 0) rest += waiting;
    lastByte = platform::TickCount();
  }
  return rest;
}

std::string DescribeReply(bool replied, std::uint32_t taken, std::uint32_t foundMs) {
  const char* reply = ReplyText();
  std::string text = "reply " + Escape(reply, taken) + " (" + Number(taken) + " bytes";
  if (replied) {
    text += ", the first " + Number(firstByteMs) + " ms after the command, taken at the look " +
            Number(foundMs) + " ms after it";
  }
  text += ")";
  const std::size_t asText = std::strlen(reply);
  if (asText < taken) {
    text += "; the bridge reads it as text up to its first zero byte: " + Escape(reply, asText);
  }
  return text;
}

// The codes the bridge would post for the reply, and whether they mean the device understood.
std::string Posts(char command, bool& understood) {
  const char* reply = ReplyText();
  if (command == 'P') {
    const int code = ClassifyPReply(reply);
    understood = code != 5;
    return "m1000 = " + Number(static_cast<std::uint64_t>(code)) +
           (code == 4          ? " (the reply holds \"Turning On\")"
            : code == 3        ? " (the reply holds \"Sleep\" and not \"Turning On\")"
            : reply[0] == '\0' ? " (no reply)"
                               : " (the reply holds neither \"Turning On\" nor \"Sleep\")");
  }
  const int code = ClassifyRReply(reply);
  understood = code == 8;
  return "l1000 = " + std::to_string(RReplyNumber(reply)) +
         ", then m1000 = " + Number(static_cast<std::uint64_t>(code)) +
         (code == 8          ? " (its second byte is a digit)"
          : reply[0] == '\0' ? " (no reply)"
                             : " (its second byte is not a digit)");
}

bool CheckExchange(char command, const std::string& subject) {
  const std::uint32_t leftover = WaitingCount();
  SendCommand(command);
  exchangeStart = platform::TickCount();
  firstByteSeen = false;
  const bool replied = AwaitReply(command, WatchingPause);
  const std::uint32_t foundMs = platform::TickCount() - exchangeStart;
  if (replied && !firstByteSeen) firstByteMs = foundMs;
  const std::uint32_t taken = TakeReply();
  bool stillComing = false;
  const std::uint64_t rest = TakeTheRest(stillComing);

  std::string detail;
  if (leftover > 0) {
    detail = Number(leftover) +
             " bytes were waiting before the command, left from an earlier "
             "reply: the bridge takes them as the start of this one; ";
  }
  if (!replied) {
    detail +=
        "no reply within 5000 ms (the bridge prints \"Com timeout\" and posts its time-out "
        "code)";
  }
  if (taken > 0) detail += (replied ? "" : "; then ") + DescribeReply(replied, taken, foundMs);
  if (rest > 0) {
    detail += "; " + std::string(stillComing ? "at least " : "") + Number(rest) +
              " more bytes followed, which the bridge leaves queued to open the next "
              "transaction's reply (it takes 1023 bytes at most)";
  }
  bool understood = false;
  detail += "; the bridge would post " + Posts(command, understood);
  const bool ok = replied && understood;
  if (!ok && !replied) {
    detail = WithHint(detail,
                      "check the cable (a null-modem cable where the device needs one), "
                      "that the device is on, and that it talks 9600 8N1");
  } else if (!ok) {
    detail = WithHint(detail,
                      "the device answered, but not as the bridge expects: check that it "
                      "is the right device, and that it talks 9600 8N1 (garbled bytes "
                      "mean another speed)");
  }
  return Report(ok, subject, detail);
}

bool CheckPort(std::uint32_t port, const std::string& note, char exchange,
               const std::vector<checkos::SerialPort>& ports) {
  const std::string subject = "port COM" + Number(port) + note;
  const std::string exchangeSubject =
      std::string("exchange ") + exchange + " on COM" + Number(port);
  KeepLineSettings();
  if (OpenPort(port) != 0) {
    Report(false, subject, ExplainPortFailure(LastPortOpening(), ports));
    if (exchange != 0) Report(false, exchangeSubject, "not made: the port did not open");
    return false;
  }
  bool ok = Report(true, subject,
                   std::string("opened as ") + LastPortOpening().device +
                       " with the bridge's settings (9600 8N1 without flow control, DTR and RTS "
                       "off, for this program alone)");
  if (exchange != 0) ok = CheckExchange(exchange, exchangeSubject) && ok;
  RestoreLineSettings();
  ClosePort();
  return ok;
}

// --- the runtime library -------------------------------------------------------------------

// The runtime library file that the loader's search meets first, with its bytes and header.
struct Candidate {
  std::string path;  // empty when the search meets none
  std::vector<std::string> looked;
  int unreadable = 0;  // errno of a failed read
  FileBytes bytes;
  LibraryHeader header{FileKind::kNotLibrary, 0, 0, ""};
};

Candidate FindLibrary() {
  const char* name = platform::RuntimeLibraryName();
  Candidate candidate;
  for (const auto& place : checkos::LibrarySearch()) {
    candidate.looked.push_back(place.folder + " (" + place.role + ")");
    if (candidate.path.empty() && IsFile(checkos::InFolder(place.folder, name))) {
      candidate.path = checkos::InFolder(place.folder, name);
    }
  }
  if (!candidate.path.empty()) {
    candidate.unreadable = ReadWholeFile(candidate.path, candidate.bytes);
    candidate.header = ReadLibraryHeader(candidate.bytes);
  }
  return candidate;
}

// A file that is no whole library is told without loading it: the loader maps a cut library's
// segments past the end of the file, and touching them ends the process (SIGBUS).
bool ExplainUnloadable(const Candidate& candidate) {
  const std::string subject = "runtime library";
  if (candidate.unreadable != 0) {
    return Report(
        false, subject,
        WithHint(candidate.path + " cannot be read (" + std::strerror(candidate.unreadable) + ")",
                 "give okvbridge's user read access to it"));
  }
  const char* what =
      candidate.header.kind == FileKind::kNotLibrary ? " is not a library: " : " is truncated: ";
  return Report(
      false, subject,
      WithHint(candidate.path + what + candidate.header.problem + " (not handed to the loader)",
               "install the runtime library again"));
}

// Why the loader refused the library: the file its search would have found, and what is wrong.
bool ExplainLoadFailure(const Candidate& candidate, const LibraryHeader& build) {
  const platform::LibraryError error = platform::LastLibraryError();
  const std::string system = " (system: " + checkos::LoadFailureWords(error) + ")";
  const std::string subject = "runtime library";
  if (candidate.path.empty()) {
    return Report(false, subject,
                  WithHint(std::string(platform::RuntimeLibraryName()) + " not found" + system +
                               "; looked in " + Join(candidate.looked),
                           checkos::NotFoundHint()));
  }
  if (!SameArchitecture(candidate.header, build)) {
    return Report(false, subject,
                  WithHint(candidate.path + " is " + DescribeLibrary(candidate.header) +
                               ", this okvbridge is " + DescribeLibrary(build) + system,
                           checkos::OtherArchitectureHint(candidate.header, build)));
  }
  const std::vector<std::string> missing = checkos::MissingLibraries(candidate.bytes, error);
  if (!missing.empty()) {
    return Report(false, subject,
                  WithHint(candidate.path + " was found but cannot load: it needs " +
                               Join(missing) + ", which is not found" + system,
                           "install what the runtime library needs, or put the folder that holds "
                           "it on the library search path"));
  }
  return Report(false, subject,
                WithHint(candidate.path + " was found but does not load" + system,
                         "see the system's reason"));
}

std::string ExplainNoEntryPoint(const std::string& path, const FileBytes& bytes) {
  const std::vector<std::string> names = ExportedNames(bytes);
  std::vector<std::string> alike;
  for (const auto& name : names) {
    if (LooksLikeEntryPoint(name)) alike.push_back(name);
  }
  std::string text = path + " exports no " + kEntryPoint +
                     " (system: " + checkos::LoadFailureWords(platform::LastLibraryError()) + ")";
  if (!alike.empty()) {
    return WithHint(text + "; names like it: " + Join(alike, kNamesShown),
                    std::string("okvbridge asks for ") + kEntryPoint +
                        " exactly and calls it as __cdecl: this library was built with another "
                        "name or calling convention, not as the runtime library okvbridge is "
                        "made for");
  }
  text += names.empty() ? "; it exports no names at all"
                        : "; it exports " + Join(names, kNamesShown) + ", none like it";
  return WithHint(text, "this is not the Corvalen runtime library: use the one of the runtime");
}

bool CheckRuntime(bool probe) {
  const LibraryHeader build = ProgramHeaderOf(checkos::ExecutablePath());
  const Candidate candidate = FindLibrary();
  const bool whole = candidate.path.empty() ||
                     (candidate.unreadable == 0 && candidate.header.kind != FileKind::kNotLibrary &&
                      candidate.header.kind != FileKind::kTruncated);
  // The same call with the same name as the bridge's, so the same search; holding the library
  // here as well only tells which file that search found.
  void* library = whole ? platform::OpenLibrary(platform::RuntimeLibraryName()) : nullptr;
  if (library == nullptr) {
    if (whole) {
      ExplainLoadFailure(candidate, build);
    } else {
      ExplainUnloadable(candidate);
    }
    if (probe) Report(false, "executor probe", "not made: the runtime library did not load");
    return false;
  }
  const std::string path = checkos::LibraryPath(library);
  FileBytes bytes = candidate.bytes;
  if (path != candidate.path) {  // the search found another file than the loader's
    bytes.clear();
    ReadWholeFile(path, bytes);
  }
  const LibraryHeader header = ReadLibraryHeader(bytes);
  std::string what = path;
  if (header.kind == FileKind::kElf || header.kind == FileKind::kPe) {
    what += " (" + DescribeLibrary(header) +
            (SameArchitecture(header, build) ? ", as this build)" : ")");
  }
  Report(true, "runtime library", what);

  const bool connected = ConnectRuntime();
  if (connected) {
    Report(true, "entry point", std::string(kEntryPoint) + ", exported by " + path);
  } else {
    Report(false, "entry point", ExplainNoEntryPoint(path, bytes));
  }
  platform::CloseLibrary(library);  // a connected runtime holds the library for itself
  if (!probe) return connected;
  if (!connected)
    return Report(false, "executor probe", "not made: there is no entry point to call");
  if (ProbeExecutor())
    return Report(true, "executor probe", "an executor is installed in the runtime");
  return Report(false, "executor probe",
                WithHint("the runtime answers that no executor is installed",
                         "start the application in the Corvalen runtime (until then the bridge "
                         "prints \"Pas d'executeur installe\" every 2 s)"));
}

}  // namespace

int main(int argc, char** argv) {
  platform::KeepGoingWithoutConsole();
  Options options;
  const std::string wrong = ParseOptions(argc, argv, options);
  if (!wrong.empty()) {
    std::fprintf(stderr, "okvbridge-check: %s (okvbridge-check --help tells more)\n",
                 wrong.c_str());
    return kUsage;
  }
  if (options.help) {
    PrintHelp();
    return 0;
  }
  if (options.version) {
    std::printf("okvbridge-check %s\n", OKV_VERSION);
    std::fflush(stdout);
    return 0;
  }
  const char* bridgeArguments[2] = {"okvbridge", options.ports.empty() ? "" : options.ports[0]};
  const std::uint32_t port = PortFromArguments(options.ports.empty() ? 1 : 2, bridgeArguments);
  std::string note;
  if (!options.ports.empty() && Number(port) != options.ports[0]) {
    note = " (" + Escape(options.ports[0], std::strlen(options.ports[0])) +
           " read as okvbridge reads it)";
  }

  const std::vector<checkos::SerialPort> ports = checkos::SerialPorts();
  bool ok = CheckPortList(ports);
  ok = CheckPort(port, note, options.exchange, ports) && ok;
  ok = CheckRuntime(options.probe) && ok;
  return ok ? 0 : 1;
}
