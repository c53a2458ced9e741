// Linux: no logon task; the systemd unit is what starts the bridge with the system.
#include <string>

#include "run/task.h"
#include "run/task_definition.h"

namespace okvrun {

namespace {

std::string UseTheUnit(std::uint32_t port) {
  const std::string unit = "okvbridge@" + std::to_string(port) + ".service";
  return "the logon task is for Windows; on Linux the systemd unit " + unit +
         " starts the bridge (systemctl enable --now " + unit + ")";
}

}  // namespace

int InstallTask(const std::string&, std::uint32_t port, const std::string&, std::string& why) {
  why = UseTheUnit(port);
  return 2;
}

int RemoveTask(std::uint32_t port, std::string& why) {
  why = UseTheUnit(port);
  return 2;
}

void MinimizeConsoleWindow() {
  // A terminal's window is the terminal emulator's, not ours to minimise.
}

}  // namespace okvrun
