// Micro benchmarks behind the figures of bench/bench.py: what one entry-point call into the
// simulated runtime costs, what one mailbox read costs the bridge with a prompt runtime and with
// the simulator's default completion delay (the idle CPU figure is one probe and one such read per
// cycle), and one port status query on a pseudo-terminal (the reply polls of a transaction).
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/runtime_link.h"
#include "serial/port_access.h"

namespace {

// From sim/runtime/README.md: the state file's size and its completion delay knob.
constexpr std::size_t kStateSize = 206384;
constexpr std::size_t kDelayOffset = 20;
constexpr std::uint32_t kBenchPort = 9;

std::string folder;
std::string statePath;
std::string portLink;
void* stateMap = nullptr;

bool SetUpRuntime() {
  char path[] = "/tmp/okv-micro.XXXXXX";
  if (mkdtemp(path) == nullptr) return false;
  folder = path;
  statePath = folder + "/runtime.state";
  setenv("KOLT8_SIM_STATE", statePath.c_str(), 1);
  if (!ConnectRuntime() || !ProbeExecutor()) return false;  // the probe creates the state file
  const int fd = open(statePath.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  void* map = mmap(nullptr, kStateSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return false;
  stateMap = map;
  return true;
}

void SetCompletionDelay(std::uint32_t ms) {
  std::memcpy(static_cast<char*>(stateMap) + kDelayOffset, &ms, sizeof ms);
}

void ClosePty();

void TearDown() {
  ClosePort();
  ClosePty();
  if (stateMap != nullptr) munmap(stateMap, kStateSize);
  if (!portLink.empty()) unlink(portLink.c_str());
  if (!statePath.empty()) unlink(statePath.c_str());
  if (!folder.empty()) rmdir(folder.c_str());
}

// One fetch with nothing outstanding: the simulator answers "no result yet". This is the call the
// completion wait repeats, without a pause, until the result is there.
void BM_EntryPointFetch(benchmark::State& state) {
  void* library = dlopen("libkolt8.so", RTLD_NOW | RTLD_NOLOAD);
  auto entry = library != nullptr
                   ? reinterpret_cast<void (*)(void*)>(dlsym(library, "KoltEntryPoint"))
                   : nullptr;
  if (entry == nullptr) {
    state.SkipWithError("libkolt8.so is not loaded");
    return;
  }
  std::uint8_t block[18];
  for (auto _ : state) {
    std::memset(block, 0, sizeof block);
    block[0] = 0x01;  // 0x0B01, fetch, little-endian
    block[1] = 0x0B;
    block[2] = 2;
    entry(block);
    benchmark::DoNotOptimize(block);
  }
  if (block[0] != 0xFF || block[1] != 0xFF)
    state.SkipWithError("the fetch was not answered 0xFFFF");
  dlclose(library);
}
BENCHMARK(BM_EntryPointFetch);

// One mailbox read, submit and completion, as the cycle makes it every second.
void BM_ReadMailbox(benchmark::State& state) {
  SetCompletionDelay(static_cast<std::uint32_t>(state.range(0)));
  VarRef mailbox{};
  ParseVarRef("m1000", mailbox);
  for (auto _ : state) {
    StatusCode status = 0;
    std::int32_t value = 0;
    if (!ReadVar(mailbox, status, value)) {
      state.SkipWithError("the read did not complete");
      break;
    }
  }
  SetCompletionDelay(20);
}
BENCHMARK(BM_ReadMailbox)->Arg(0)->ArgName("delay_ms");
// Real time decides the iteration count here: the CPU time is what the figure is about, and it is
// far below the wall time.
BENCHMARK(BM_ReadMailbox)
    ->Arg(20)
    ->ArgName("delay_ms")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// One port status query on a pseudo-terminal, as a transaction polls for the reply. The port is
// opened once, on the first run, and kept: the benchmark runs this function several times.
int ptyMaster = -1;

bool OpenBenchPort() {
  if (ptyMaster >= 0) return true;
  ptyMaster = posix_openpt(O_RDWR | O_NOCTTY);
  if (ptyMaster < 0 || grantpt(ptyMaster) != 0 || unlockpt(ptyMaster) != 0) return false;
  portLink = folder + "/COM" + std::to_string(kBenchPort);
  if (symlink(ptsname(ptyMaster), portLink.c_str()) != 0) return false;
  setenv("OKVBRIDGE_PORTS", folder.c_str(), 1);
  return OpenPort(kBenchPort) == 0;
}

void BM_WaitingCountOnPty(benchmark::State& state) {
  if (!OpenBenchPort()) {
    state.SkipWithError("cannot open a pseudo-terminal as the port");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(WaitingCount());
}
BENCHMARK(BM_WaitingCountOnPty);

void ClosePty() {
  if (ptyMaster >= 0) close(ptyMaster);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  if (!SetUpRuntime()) {
    std::fprintf(stderr, "okv_micro_bench: cannot load the simulated runtime libkolt8.so\n");
    TearDown();
    return 1;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  TearDown();
  return 0;
}
