// okvbridge-check's serial port lines: the ports this computer has, and the port opened through
// the bridge's own port code, with the system's reason when it does not open.
#include "check/port_words.h"
#include "checks.h"
#include "serial/port_diagnostics.h"

namespace okvcheck {

namespace {

using checkwords::ExplainPortFailure;
using checkwords::Join;
using checkwords::WithHint;

std::string Describe(const checkos::SerialPort& port) {
  std::string text = port.name.empty() ? port.device : port.name + " (" + port.device;
  if (!port.note.empty()) text += (port.name.empty() ? " (" : ", ") + port.note;
  if (!port.name.empty() || !port.note.empty()) text += ")";
  return text;
}

}  // namespace

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

}  // namespace okvcheck
