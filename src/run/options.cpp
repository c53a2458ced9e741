// okvbridge-run's command line and its help text.
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "run/run.h"
#include "run/task_definition.h"

namespace okvrun {

namespace {

// The largest number "\\.\COM<n>" holds in the bridge's 16-byte name buffer: eight digits.
constexpr std::uint64_t kLargestPort = 99999999;

bool AllDigits(const std::string& text) {
  if (text.empty() || text.size() > 19) return false;
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// A size in bytes, with an optional k or M (1024-based) after it.
bool ReadSize(std::string text, std::uint64_t& size) {
  std::uint64_t unit = 1;
  if (!text.empty() && (text.back() == 'k' || text.back() == 'K')) unit = 1024;
  if (!text.empty() && (text.back() == 'm' || text.back() == 'M')) unit = 1024 * 1024;
  if (unit != 1) text.pop_back();
  if (!AllDigits(text) || text.size() > 12) return false;
  size = std::strtoull(text.c_str(), nullptr, 10) * unit;
  return size > 0;
}

// The value of an option given as "--name VALUE" or "--name=VALUE"; empty `why` when there is one.
bool TakeValue(int argc, char** argv, int& i, const std::string& name, std::string& value,
               std::string& why) {
  const std::string argument = argv[i];
  if (argument == name) {
    if (i + 1 >= argc) {
      why = name + " needs a value";
      return false;
    }
    value = argv[++i];
    return true;
  }
  value = argument.substr(name.size() + 1);
  return true;
}

bool Names(const std::string& argument, const std::string& name) {
  return argument == name || argument.rfind(name + "=", 0) == 0;
}

}  // namespace

std::string ParseOptions(int argc, char** argv, Options& options) {
  std::vector<std::string> ports;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    std::string value, why;
    if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
      ports.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--help" || argument == "-h" || argument == "/?") {
      options.help = true;
    } else if (argument == "--version") {
      options.version = true;
    } else if (argument == kMinimizedOption) {
      options.minimized = true;
    } else if (argument == "--install-task") {
      options.installTask = true;
    } else if (argument == "--remove-task") {
      options.removeTask = true;
    } else if (Names(argument, "--runtime-dir")) {
      if (!TakeValue(argc, argv, i, "--runtime-dir", value, why)) return why;
      if (value.empty()) return "--runtime-dir needs a folder";
      options.runtimeDir = value;
    } else if (Names(argument, "--log")) {
      if (!TakeValue(argc, argv, i, "--log", value, why)) return why;
      if (value.empty()) return "--log needs a file";
      options.log = value == "-" ? "" : value;
      options.logGiven = true;
    } else if (Names(argument, "--log-size")) {
      if (!TakeValue(argc, argv, i, "--log-size", value, why)) return why;
      if (!ReadSize(value, options.logSize)) {
        return "--log-size takes a size in bytes above 0, with k or M after it for KiB or MiB, "
               "not \"" +
               value + "\"";
      }
    } else if (Names(argument, "--log-files")) {
      if (!TakeValue(argc, argv, i, "--log-files", value, why)) return why;
      if (!AllDigits(value) || value.size() > 4 || std::atoi(value.c_str()) < 1) {
        return "--log-files takes a number of files from 1 to 9999, not \"" + value + "\"";
      }
      options.logFiles = static_cast<std::uint32_t>(std::atoi(value.c_str()));
    } else {
      return "unknown option \"" + argument + "\" (see --help)";
    }
  }
  if (ports.size() > 1) return "one PORT at most, not " + std::to_string(ports.size());
  if (ports.size() == 1) {
    std::string text = ports[0];
    if (text.size() > 3 && (text.compare(0, 3, "COM") == 0 || text.compare(0, 3, "com") == 0)) {
      text = text.substr(3);
    }
    if (!AllDigits(text) || std::strtoull(text.c_str(), nullptr, 10) < 1 ||
        std::strtoull(text.c_str(), nullptr, 10) > kLargestPort) {
      return "PORT is a COM port number from 1 to 99999999 (4 for COM4), not \"" + ports[0] + "\"";
    }
    options.port = static_cast<std::uint32_t>(std::strtoull(text.c_str(), nullptr, 10));
  }
  if (options.installTask && options.removeTask) {
    return "--install-task and --remove-task exclude each other";
  }
  if (options.removeTask && !options.runtimeDir.empty()) {
    return "--remove-task takes the PORT alone, no --runtime-dir";
  }
  return "";
}

void PrintHelp() {
  std::printf(
      "Usage: okvbridge-run [OPTIONS] [PORT]\n"
      "       okvbridge-run --install-task [PORT] --runtime-dir DIR\n"
      "       okvbridge-run --remove-task [PORT]\n"
      "\n"
      "Keeps okvbridge running for good: starts the okvbridge beside this program for PORT (a COM\n"
      "port number, 4 when not given), logs every message it prints with the local time, and\n"
      "starts it again when it ends, or when the serial adapter behind the port was pulled out\n"
      "and plugged back in. Stop it with Ctrl-C (or by closing its window, or SIGTERM on Linux):\n"
      "the bridge ends with it.\n"
      "\n"
      "Options:\n"
      "  --runtime-dir DIR   the bridge's working folder, where it finds the runtime library as\n"
      "                      when started there (default: the current folder)\n"
      "  --log FILE          the log (default: okvbridge.log beside this program on Windows,\n"
      "                      standard output on Linux; \"-\" for standard output)\n"
      "  --log-size SIZE     the log file's size at which it is renamed FILE.1 and a new one\n"
      "                      begun; bytes, or with k or M after the number (default 10M)\n"
      "  --log-files N       how many log files are kept, the current one included: FILE,\n"
      "                      FILE.1 (the newest old one) ... (default 10, so at most 100 MiB)\n"
      "  --install-task      register a task that runs okvbridge-run for PORT at the user's\n"
      "                      logon, with DIR as the runtime's folder (Windows)\n"
      "  --remove-task       remove that task\n"
      "  --minimized         start with the console window minimised (the task uses it)\n"
      "  --version           the version\n"
      "  -h, --help          this text\n"
      "\n"
      "The log: one line per message, \"YYYY-MM-DD HH:MM:SS.mmm\", then \">\" and the bridge's\n"
      "message as it printed it, or \"#\" and a line of okvbridge-run's own (the bridge started,\n"
      "its end and exit code, why its port failed, the port gone and back, restarts, rotation).\n"
      "A reply \"[...]\" gets a line of its own: it ends at the \"]\" after which the bridge's\n"
      "own messages go on, or at the last \"]\" before a pause of 0.2 s.\n"
      "\n"
      "When the bridge ends it is started again after 2 s, then 4, 8 ... up to 60 s while it\n"
      "keeps ending at once; after a minute of running the wait is 2 s again. The device the port's\n"
      "name leads to is looked at every 2 s; once it has gone and come back (or the name leads to\n"
      "another one), the bridge is restarted as soon as it is between exchanges with a result\n"
      "posted: after the reply of an exchange that timed out (the old device no longer answers),\n"
      "or after \"Pas d'executeur installe\" or \"Connexion impossible\".\n"
      "\n"
      "Exit status: 0 when stopped, 1 when it cannot run (another okvbridge-run serves the port,\n"
      "no bridge beside it), 2 for bad usage.\n");
}

}  // namespace okvrun
