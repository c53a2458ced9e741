// The bridge's entry and its once-a-second cycle: connect to the runtime, follow its executor,
// read the mailbox word m1000 and start the transaction that the word asks for.
#include "bridge/bridge.h"

#include <climits>
#include <cstdarg>

#include "platform/platform.h"
#include "runtime/runtime_link.h"
#include "serial/port_access.h"

namespace {

constexpr std::uint32_t kCycleMs = 1000;
constexpr std::uint32_t kDefaultPort = 4;

std::uint32_t PortNumber = kDefaultPort;
bool connected = false;
bool executorInstalled = false;
std::FILE* console = nullptr;

bool IsAtoiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

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

void SetConsole(std::FILE* stream) {
  console = stream;
}

void Say(const char* format, ...) {
  std::FILE* out = console != nullptr ? console : stdout;
  va_list args;
  va_start(args, format);
  std::vfprintf(out, format, args);
  va_end(args);
  // Flushed at once, so that a piped or killed bridge has lost nothing it printed.
  std::fflush(out);
}

std::int32_t AtoiValue(const char* text) {
  const char* c = text;
  while (IsAtoiSpace(*c)) ++c;
  bool negative = false;
  if (*c == '+' || *c == '-') {
    negative = *c == '-';
    ++c;
  }
  // Accumulated as a magnitude in 64 bits and clamped once it leaves the int32 range, so that
  // any digit run has a defined value (the clamp is what the Windows C library's atoi gives).
  const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT32_MIN) : INT32_MAX;
  std::int64_t magnitude = 0;
  for (; *c >= '0' && *c <= '9'; ++c) {
    magnitude = magnitude * 10 + (*c - '0');
    if (magnitude > limit) magnitude = limit;
  }
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

std::uint32_t PortFromArguments(int argc, const char* const* argv) {
  if (argc != 2) return kDefaultPort;
  return static_cast<std::uint32_t>(AtoiValue(argv[1]));
}

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
