// What the serial port does alike on every system: the device names tried for a port number, the
// order of an opening's steps, and the record of how the last one went. The steps themselves are
// in port_access_posix.cpp and port_access_win32.cpp, behind port_os.h.
#include <cstddef>
#include <cstdio>

#include "port_os.h"
#include "serial/port_access.h"
#include "serial/port_diagnostics.h"

namespace {

constexpr std::size_t kNameSize = 16;  // the Windows device name buffer, terminating zero included

PortOpening opening{};
// The line as okvbridge-check found it is noted, once it asked for that.
bool keepLine = false;

bool OpenNamed(const char* name) {
  portos::NoteDevice(name);
  return portos::OpenDevice(name);
}

}  // namespace

namespace portos {

void NoteFailure(PortStep step, int error) {
  opening.failedStep = step;
  opening.error = error;
}

void NoteDevice(const char* device) {
  std::snprintf(opening.device, sizeof opening.device, "%s", device);
}

bool KeepingLine() {
  return keepLine;
}

}  // namespace portos

int OpenPort(std::uint32_t portNumber) {
  ClosePort();

  char name[kNameSize];
  std::snprintf(name, sizeof name, "COM%lu", static_cast<unsigned long>(portNumber));
  if (!OpenNamed(name)) {
    // The device-namespace form (on Windows, COM10 and above are reachable only so) is tried only
    // when it fits the name buffer whole.
    const int length = std::snprintf(nullptr, 0, "\\\\.\\COM%u", portNumber);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof name) return -1;
    std::snprintf(name, sizeof name, "\\\\.\\COM%u", portNumber);
    if (!OpenNamed(name)) return -1;
  }
  portos::NoteFailure(PortStep::kNone, 0);  // a first name that failed is forgotten

  if (!portos::SetUpLine()) {
    RestoreLineSettings();
    ClosePort();
    return -1;
  }
  return 0;
}

const PortOpening& LastPortOpening() {
  return opening;
}

void KeepLineSettings() {
  keepLine = true;
}
