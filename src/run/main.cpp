// Program entry of okvbridge-run: the command line, the task commands, the one-per-port lock, then
// the supervision until a stop request.
#include <cstdio>

#include "platform/platform.h"
#include "run/run.h"
#include "run/run_os.h"
#include "run/task.h"
#include "run/task_definition.h"

namespace {

int Usage(const std::string& why) {
  std::fprintf(stderr, "okvbridge-run: %s\n", why.c_str());
  return okvrun::kExitUsage;
}

int Failed(const std::string& why) {
  std::fprintf(stderr, "okvbridge-run: %s\n", why.c_str());
  return okvrun::kExitFailed;
}

int TaskCommand(const okvrun::Options& options) {
  std::string why;
  int code = 0;
  if (options.installTask) {
    if (options.runtimeDir.empty()) return Usage("--install-task needs --runtime-dir DIR");
    code = okvrun::InstallTask(runos::ProgramPath(), options.port, options.runtimeDir, why);
  } else {
    code = okvrun::RemoveTask(options.port, why);
  }
  if (code != 0) std::fprintf(stderr, "okvbridge-run: %s\n", why.c_str());
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  okvrun::Options options;
  const std::string why = okvrun::ParseOptions(argc, argv, options);
  if (!why.empty()) return Usage(why);
  if (options.help) {
    okvrun::PrintHelp();
    return 0;
  }
  if (options.version) {
    std::printf("okvbridge-run %s\n", OKV_VERSION);
    return 0;
  }
  if (options.installTask || options.removeTask) return TaskCommand(options);

  const std::string bridge = runos::ProgramFolder() + runos::BridgeFileName();
  std::FILE* probe = std::fopen(bridge.c_str(), "rb");
  if (probe == nullptr) return Failed("no bridge to run: " + bridge + " is missing");
  std::fclose(probe);
  std::string held;
  if (!runos::TakePortLock(options.port, held)) return Failed(held);
  runos::CatchStopRequests();
  runos::PrepareConsole();
  // The bridge's lines reach this console as it wrote them, in Windows-1252, and a click in the
  // window must not hold our writes (and so the bridge's pipe) in a QuickEdit selection.
  platform::PrepareConsole();
  if (options.minimized) okvrun::MinimizeConsoleWindow();
  const std::string log = options.logGiven ? options.log : runos::DefaultLogPath();
  okvrun::OpenLog(log, options.logSize, options.logFiles);
  okvrun::LogOwn(std::string("okvbridge-run ") + OKV_VERSION + " for COM" +
                 std::to_string(options.port) + ", log " +
                 (log.empty() ? "on standard output" : log) + " (rotated at " +
                 std::to_string(options.logSize) + " bytes, " + std::to_string(options.logFiles) +
                 " files kept)");
  const int code = okvrun::Supervise(options);
  okvrun::LogOwn("okvbridge-run ends");
  okvrun::CloseLog();
  platform::RestoreConsole();
  runos::StopDone();
  return code;
}
