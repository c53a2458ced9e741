// The bridge's entry and its once-a-second cycle: connect to the runtime, follow its executor,
// read the mailbox word m1000 and start the transaction that the word asks for.
#include "bridge/bridge.h"

#include "platform/platform.h"
#include "runtime/runtime_link.h"
#include "serial/port_access.h"

namespace {

constexpr std::uint32_t kCycleMs = 1000;

// Set from the command line before anything reads it.
std::uint32_t PortNumber = 0;
bool connected = false;
bool executorInstalled = false;

// Reads m1000 and starts the transaction its value asks for.
void ServeMailbox() {
  StatusCode status = 0;
  std::int32_t value = 0;
  VarRef mailbox{};
  if (ParseVarRef("m1000", mailbox)) {
    ReadVar(mailbox, status, value);
  } else {
    status = kStatusNotParsed;
  }
  if (status != 0) Say("Erreur %x \xE0 la lecture de m1000\n", status);
  // The value is acted on whatever the status: a completion with a result code still delivers it,
  // and a failed read leaves it 0, which asks for nothing.
  if (value == 1) {
    RunPTransaction();
  } else if (value == 6) {
    RunRTransaction();
  }
}

}  // namespace

void BridgeIteration() {
  platform::SleepMs(kCycleMs);
  if (!connected) {
    Say("Connexion a Corvalen...\n");
    if (ConnectRuntime()) {
      Say("Connexion effectuee\n");
      connected = true;
    } else {
      Say("Connexion impossible\n");
      platform::SleepMs(kCycleMs);
    }
    return;
  }
  if (!executorInstalled) {
    if (ProbeExecutor()) {
      Say("Executeur installe\n");
      executorInstalled = true;
    } else {
      Say("Pas d'executeur installe\n");
      platform::SleepMs(kCycleMs);
    }
    return;
  }
  if (!ProbeExecutor()) {
    // Noted now, acted on from the next iteration: this one still reads the mailbox.
    Say("Executeur desinstalle\n");
    executorInstalled = false;
  }
  ServeMailbox();
}

int BridgeMain(int argc, const char* const* argv) {
  PortNumber = PortFromArguments(argc, argv);
  Say("Communication OKV (COM%u) <-> Corvalen V1.000\n", PortNumber);
  if (OpenPort(PortNumber) < 0) {
    Say("Erreur a l'ouverture du port de communication\n");
    platform::WaitForKey();
    return -1;
  }
  for (;;) BridgeIteration();
}
