// The fuzz targets' world: the tests' fakes, and the parts of platform.h that load the runtime,
// answering with the fake runtime linked into the target.
#include "fuzz_world.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bridge/bridge.h"
#include "fake_runtime.h"
#include "fuzz_check.h"
#include "platform/platform.h"
#include "runtime/runtime_link.h"

extern "C" void KoltEntryPoint(void* request);  // the fake runtime's

namespace {

std::vector<fuzz_world::Write> writes;
std::FILE* console = nullptr;
char* consoleText = nullptr;
std::size_t consoleSize = 0;

// Every block the bridge hands over carries a command the runtime knows; the writes are kept.
void Observe(const fake_runtime::Call& call, void*) {
  const unsigned command = fake_runtime::Word(call.in, 0);
  FUZZ_CHECK(command == 0x0B00 || command == 0x0B01, "unknown command word %04x", command);
  if (call.kind == fake_runtime::Kind::WriteSubmit) {
    writes.push_back({call.type, call.index, call.value});
  }
}

}  // namespace

namespace fuzz_world {

void Reset() {
  fake_clock::Reset(0);
  fake_port::Reset();
  fake_runtime::State& runtime = *FakeRuntimeState();
  runtime = fake_runtime::State{};
  runtime.executor = true;
  runtime.observer = &Observe;
  writes.clear();
  if (console != nullptr) std::fclose(console);
  std::free(consoleText);
  consoleText = nullptr;
  consoleSize = 0;
  console = open_memstream(&consoleText, &consoleSize);
  FUZZ_CHECK(console != nullptr, "no memory stream for the console");
  SetConsole(console);
  FUZZ_CHECK(ConnectRuntime(), "the fake runtime did not connect");
}

const std::vector<Write>& Writes() {
  return writes;
}

std::string Console() {
  std::fflush(console);
  return std::string(consoleText, consoleSize);
}

}  // namespace fuzz_world

// --- platform.h: the runtime "library" is the fake linked in; the clock is fake_clock.cpp ------
namespace platform {

void WaitForKey() {}

const char* RuntimeLibraryName() {
  return "fuzz-runtime";
}

void* OpenLibrary(const char*) {
  static int handle;
  return &handle;
}

void* LibrarySymbol(void*, const char* name) {
  return std::strcmp(name, "KoltEntryPoint") == 0 ? reinterpret_cast<void*>(&KoltEntryPoint)
                                                  : nullptr;
}

void CloseLibrary(void*) {}

}  // namespace platform
