// Why a serial port did not open, in an operator's words (see port_words.h).
#include "check/port_words.h"

namespace checkwords {

namespace {

std::string PortNames(const std::vector<checkos::SerialPort>& ports) {
  std::vector<std::string> names;
  for (const auto& port : ports) {
    if (!port.name.empty()) names.push_back(port.name);
  }
  return names.empty() ? "none of those listed has a COM number" : Join(names);
}

// What each trouble is called, and what to do about it where the system has nothing better.
struct TroubleWords {
  const char* what;
  const char* hint;
};

constexpr TroubleWords kTroubleWords[] = {
    {"no such port", "give okvbridge the number of a port this computer has: "},
    {"held by another program",
     "a running okvbridge is the likeliest holder: stop it (or the other program using the port), "
     "then check again"},
    {"access refused", "run okvbridge as a user allowed to use the port"},
    {"no device answers behind it", "plug the adapter in again, or check its driver"},
    {"not a serial port", "the port's name must lead to the serial device itself"},
    {"the driver refused the line settings 9600 8N1 without flow control",
     "the adapter's driver may not take them: update it, or use another adapter"},
    {"it did not open", "see the system's reason"},
};

}  // namespace

std::string Join(const std::vector<std::string>& items, std::size_t most) {
  std::string text;
  for (std::size_t i = 0; i < items.size() && i < most; ++i) text += (i > 0 ? ", " : "") + items[i];
  if (items.size() > most) text += " and " + std::to_string(items.size() - most) + " more";
  return text;
}

std::string WithHint(std::string what, const std::string& hint) {
  return what + "; what to do: " + hint;
}

std::string ExplainPortFailure(const PortOpening& opening,
                               const std::vector<checkos::SerialPort>& ports) {
  const checkos::PortDiagnosis diagnosis = checkos::DiagnosePort(opening);
  const TroubleWords& words = kTroubleWords[static_cast<int>(diagnosis.trouble)];
  std::string what = words.what;
  std::string hint = diagnosis.hint.empty() ? words.hint : diagnosis.hint;
  if (diagnosis.trouble == checkos::PortTrouble::kNoSuchPort) hint += PortNames(ports);
  if (opening.failedStep == PortStep::kWatcher) what = "its receive watcher could not be started";
  if (opening.failedStep == PortStep::kTransferEvent) {
    what = "the event its reads and writes wait on could not be made";
  }
  std::string text = std::string(opening.device) + ": " + what;
  if (!diagnosis.detail.empty()) text += ": " + diagnosis.detail;
  if (opening.error != 0) text += " (system: " + checkos::ErrorWords(opening.error) + ")";
  return WithHint(text, hint);
}

}  // namespace checkwords
