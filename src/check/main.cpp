// okvbridge-check: the operator's diagnostics. It says why the bridge cannot open its port or
// reach the runtime library, in the system's words, and tries the device line once. Every check
// goes through the bridge's own port, library and transaction code, so that it cannot pass where
// the bridge fails; it only adds the questions the bridge never asks (why, and which file).
//
// The command line is here; each check is a file of its own (see checks.h).
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "check/check_os.h"
#include "checks.h"
#include "platform/platform.h"

namespace {

using okvcheck::Escape;
using okvcheck::kEntryPoint;
using okvcheck::Number;

constexpr int kUsage = 2;

struct Options {
  bool help = false;
  bool version = false;
  bool probe = false;
  char exchange = 0;  // 'P', 'R', or 0 for none
  std::vector<const char*> ports;
};

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
  bool ok = okvcheck::CheckPortList(ports);
  ok = okvcheck::CheckPort(port, note, options.exchange, ports) && ok;
  ok = okvcheck::CheckRuntime(options.probe) && ok;
  return ok ? 0 : 1;
}
