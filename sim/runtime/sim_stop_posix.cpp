// POSIX side of the control tool's stop: SIGINT (Ctrl-C) and SIGTERM set a flag that the tool's
// loops look at between their short sleeps, so that `watch` ends with exit code 0.
#include <csignal>

#include "sim_os.h"

namespace simos {
namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
  g_stop = 1;
}

}  // namespace

void CatchStop() {
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
}

bool StopRequested() {
  return g_stop != 0;
}

}  // namespace simos
