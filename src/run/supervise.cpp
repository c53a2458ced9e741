// Keeping the bridge running: started, its messages logged, started again with a back-off when it
// ends, and restarted after its adapter was replugged at a moment that cuts no exchange.
#include "check/check_os.h"
#include "check/port_words.h"
#include "platform/platform.h"
#include "run/run.h"
#include "run/run_os.h"
#include "serial/port_diagnostics.h"

namespace okvrun {

namespace {

// How often the device behind the port's name is looked at.
constexpr std::uint32_t kLookMs = 2000;
// How long a stopping bridge may take to end, and its last output to come, before we go anyway.
constexpr std::uint32_t kEndWaitMs = 5000;

const char kPortFailure[] = "Erreur a l'ouverture du port de communication";

struct Run {
  const Options* options;
  std::string exe;
  std::string port;  // "COM4"
  bool running = false;
  std::uint32_t startedMs = 0;
  std::uint32_t startDueMs = 0;  // when the bridge is to be started again
  std::uint32_t backOffMs = 0;
  bool portFailed = false;  // the bridge said its port did not open
  bool restarting = false;  // we ended it to have the port opened anew
  Splitter splitter;
  Moment moment;
  runos::PortIdentity noted{false, "", ""};
  bool gone = false;
  bool replugged = false;  // the port's device changed under the running bridge
  std::uint32_t nextLookMs = 0;
};

std::string Seconds(std::uint32_t ms) {
  return std::to_string(ms / 1000) + (ms % 1000 != 0 ? "." + std::to_string(ms % 1000 / 100) : "") +
         " s";
}

// Why the port failed, asked the way okvbridge-check asks it, now that the bridge has let it go.
void DiagnosePort(const Run& run) {
  KeepLineSettings();
  if (OpenPort(run.options->port) != 0) {
    LogOwn("port " + run.port + ": " +
           checkwords::ExplainPortFailure(LastPortOpening(), checkos::SerialPorts()));
    return;
  }
  LogOwn("port " + run.port + " opens now, as " + LastPortOpening().device);
  RestoreLineSettings();
  ClosePort();
}

void Start(Run& run, std::uint32_t now) {
  const std::string& folder = run.options->runtimeDir;
  std::string why;
  unsigned long pid = 0;
  if (!folder.empty() && !runos::IsFolder(folder)) {
    why = "the runtime folder " + folder + " does not exist";
  } else {
    run.noted = runos::IdentifyPort(run.options->port, false);
    run.gone = !run.noted.present;
    if (runos::StartBridge(run.exe, run.options->port, folder, pid, why)) {
      run.running = true;
      run.startedMs = now;
      run.portFailed = false;
      run.restarting = false;
      run.replugged = false;
      run.moment = Moment{};
      LogOwn("bridge started (process " + std::to_string(pid) + "): " + run.exe + " " +
             std::to_string(run.options->port) + (folder.empty() ? "" : " in " + folder) +
             "; port " + run.port +
             (run.noted.present ? " leads to " + run.noted.shown : " leads to no device now"));
      return;
    }
  }
  run.backOffMs = NextBackOff(run.backOffMs, 0);
  run.startDueMs = now + run.backOffMs;
  LogOwn("cannot start the bridge: " + why + "; trying again in " + Seconds(run.backOffMs));
}

void Handle(Run& run, const Message& message) {
  LogBridge(message.stamp, message.bytes);
  if (Bare(message.bytes) == kPortFailure) run.portFailed = true;
  if (SafeAfter(run.moment, message.bytes) && run.replugged && run.running && !run.restarting) {
    LogOwn("restarting the bridge, between two exchanges, so that it opens the port's device anew");
    run.restarting = true;
    runos::EndBridge();
  }
}

void HandleAll(Run& run, const std::vector<Message>& messages) {
  for (const Message& message : messages) Handle(run, message);
}

void Ended(Run& run, std::uint32_t now) {
  HandleAll(run, Settle(run.splitter, now, true));
  run.running = false;
  const std::uint32_t ran = now - run.startedMs;
  LogOwn("bridge ended after " + Seconds(ran) + ": " + runos::EndedHow() +
         (run.restarting ? " (ended by okvbridge-run)" : ""));
  if (run.portFailed) DiagnosePort(run);
  if (run.restarting) {
    run.backOffMs = 0;
    run.startDueMs = now;
    return;
  }
  run.backOffMs = NextBackOff(run.backOffMs, ran);
  run.startDueMs = now + run.backOffMs;
  LogOwn("starting it again in " + Seconds(run.backOffMs));
}

void Look(Run& run, std::uint32_t now) {
  run.nextLookMs = now + kLookMs;
  const runos::PortIdentity seen = runos::IdentifyPort(run.options->port, run.running);
  if (!seen.present) {
    if (!run.gone) {
      LogOwn("port " + run.port + " gone: " + run.noted.shown + " is no longer there");
    }
    run.gone = true;
    return;
  }
  const bool back = run.gone;
  const bool other = !run.gone && seen.key != run.noted.key;
  if (!back && !other) return;
  LogOwn("port " + run.port +
         (back ? " back: it leads to " + seen.shown
               : " leads to another device: " + seen.shown + ", not " + run.noted.shown));
  run.gone = false;
  run.noted = seen;
  if (run.running) {
    run.replugged = true;
    LogOwn(
        "the bridge holds the device it opened before: it is restarted at its next pause "
        "between exchanges");
  } else if (back) {
    run.startDueMs = now;  // no need to sit out the back-off: the port is there now
  }
}

// Whether the moment `dueMs`, set at most `span` ahead, has come: tick differences, never a
// comparison of ticks, so that the wrap of the tick count every 49 days goes unnoticed.
bool Due(std::uint32_t dueMs, std::uint32_t now, std::uint32_t span) {
  return dueMs - now == 0 || dueMs - now > span;
}

std::uint32_t Least(std::uint32_t a, std::uint32_t b) {
  return a < b ? a : b;
}

// Until the next thing to do, from `now`.
std::uint32_t WaitMs(const Run& run, std::uint32_t now) {
  std::uint32_t ms = Due(run.nextLookMs, now, kLookMs) ? 0 : run.nextLookMs - now;
  ms = Least(ms, SettleDueIn(run.splitter, now));
  if (!run.running) {
    ms = Least(ms, Due(run.startDueMs, now, kLongestBackOffMs) ? 0 : run.startDueMs - now);
  }
  return ms;
}

// The stop: the bridge ended, its last words logged.
int Stop(Run& run) {
  LogOwn("stop requested: ending the bridge and okvbridge-run");
  if (!run.running) return 0;
  runos::EndBridge();
  const std::uint32_t begun = platform::TickCount();
  for (;;) {
    const std::uint32_t spent = platform::TickCount() - begun;
    if (spent >= kEndWaitMs) break;
    std::string chunk;
    const runos::Event event = runos::Wait(kEndWaitMs - spent, chunk);
    const std::uint32_t now = platform::TickCount();
    if (event == runos::Event::kOutput)
      HandleAll(run, Feed(run.splitter, chunk, runos::LocalStamp(), now));
    if (event == runos::Event::kEnded) {
      HandleAll(run, Settle(run.splitter, now, true));
      LogOwn("bridge ended: " + runos::EndedHow());
      return 0;
    }
  }
  LogOwn("the bridge did not report its end within " + Seconds(kEndWaitMs));
  return 0;
}

}  // namespace

std::uint32_t NextBackOff(std::uint32_t previousMs, std::uint32_t ranMs) {
  if (ranMs >= kSteadyMs || previousMs == 0) return kFirstBackOffMs;
  return previousMs >= kLongestBackOffMs / 2 ? kLongestBackOffMs : previousMs * 2;
}

int Supervise(const Options& options) {
  Run run;
  run.options = &options;
  run.exe = runos::ProgramFolder() + runos::BridgeFileName();
  run.port = "COM" + std::to_string(options.port);
  run.startDueMs = platform::TickCount();
  run.nextLookMs = run.startDueMs + kLookMs;
  for (;;) {
    std::uint32_t now = platform::TickCount();
    if (!run.running && Due(run.startDueMs, now, kLongestBackOffMs)) Start(run, now);
    std::string chunk;
    const runos::Event event = runos::Wait(WaitMs(run, platform::TickCount()), chunk);
    now = platform::TickCount();
    switch (event) {
      case runos::Event::kOutput:
        HandleAll(run, Feed(run.splitter, chunk, runos::LocalStamp(), now));
        break;
      case runos::Event::kEnded:
        Ended(run, now);
        break;
      case runos::Event::kStop:
        return Stop(run);
      case runos::Event::kTimeout:
        HandleAll(run, Settle(run.splitter, now, false));
        break;
    }
    if (Due(run.nextLookMs, now, kLookMs)) Look(run, now);
  }
}

}  // namespace okvrun
