// Windows side of the control tool's stop: a console control handler, where POSIX has SIGINT and
// SIGTERM. The handler runs on a thread of its own that the system starts for the event, so it
// only sets the flag that the tool's loops look at between their short sleeps.
#include <windows.h>

#include "sim_os.h"

namespace simos {
namespace {

volatile LONG g_stop = 0;

BOOL WINAPI OnControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      InterlockedExchange(&g_stop, 1);
      return TRUE;
    case CTRL_CLOSE_EVENT:
      // The system ends the process once the handler returns; a short wait lets the loop see the
      // flag and leave through main, with its output flushed.
      InterlockedExchange(&g_stop, 1);
      Sleep(200);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

void CatchStop() {
  // A process started with Ctrl-C ignored (as a process group of its own is) would never see it;
  // the tool wants it, as its POSIX side installs its SIGINT handler whatever it inherited.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(OnControl, TRUE);
}

bool StopRequested() {
  return InterlockedCompareExchange(&g_stop, 0, 0) != 0;
}

}  // namespace simos
