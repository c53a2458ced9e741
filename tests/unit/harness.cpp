// Shared set-up of the virtual-time tests.
#include "harness.h"

#include <cstdio>

#include "bridge/bridge.h"
#include "fake_port.h"
#include "test_os.h"

namespace {

std::string console;

// The bridge's reply buffer is 1024 bytes and must stay zero-terminated: a read may fill 1023.
constexpr std::uint32_t kReadCapacity = 1023;

void NoteSend(const std::string& line) {
  timeline::Note("send " + line);
}

void ReadOverrun(std::uint32_t asked, std::uint32_t capacity) {
  EXPECT_LE(asked, capacity) << "ReadWaiting asked to write past the caller's buffer";
}

// Every test in the binary sees the port's sends in its timeline and its reads bounded, whether or
// not it derives from the fixtures below.
struct PortWatch {
  PortWatch() {
    fake_port::OnSend(&NoteSend);
    fake_port::LimitReads(kReadCapacity, &ReadOverrun);
  }
} portWatch;

void RecordConsole(const char* bytes, std::size_t size) {
  const std::string text(bytes, size);
  console += text;
  timeline::Note("say " + text);
}

}  // namespace

namespace harness {

fake_runtime::State* FakeRuntime() {
  // Holding a reference of our own changes nothing for the bridge, which gets the same library.
  using StateFunction = fake_runtime::State* (*)();
  auto state = reinterpret_cast<StateFunction>(test_os::RuntimeSymbol("FakeRuntimeState"));
  return state != nullptr ? state() : nullptr;
}

std::string RefName(int type, int index) {
  const char letter = type >= 0 && type <= 7 ? "iobtcmfl"[type] : '?';
  return letter + std::to_string(index);
}

std::string Describe(const fake_runtime::Call& call) {
  switch (call.kind) {
    case fake_runtime::Kind::Probe:
      return "probe";
    case fake_runtime::Kind::ReadSubmit:
      return "read " + RefName(call.type, call.index);
    case fake_runtime::Kind::WriteSubmit:
      return "write " + RefName(call.type, call.index) + " " + std::to_string(call.value);
    case fake_runtime::Kind::Fetch:
      return "";
    case fake_runtime::Kind::Unknown:
      return "unknown request";
  }
  return "";
}

int FetchCount(const fake_runtime::State& runtime) {
  return static_cast<int>(runtime.fetches);
}

}  // namespace harness

void VirtualTimeTest::SetUp() {
  fake_clock::Reset(kStart);
  timeline::Clear();
  console.clear();
  console_ = test_os::OpenRecorder(RecordConsole);
  ASSERT_NE(console_, nullptr);
  SetConsole(console_);
}

void VirtualTimeTest::TearDown() {
  SetConsole(nullptr);
  test_os::CloseRecorder(console_);
}

const std::string& VirtualTimeTest::Console() const {
  return console;
}

void VirtualTimeTest::ClearConsole() {
  console.clear();
}

void FakeRuntimeTest::SetUp() {
  VirtualTimeTest::SetUp();
  runtime = harness::FakeRuntime();
  ASSERT_NE(runtime, nullptr) << "the fake runtime library is not on the library search path";
  runtime->observer = &FakeRuntimeTest::Observe;
  runtime->observerContext = this;
}

void FakeRuntimeTest::Observe(const fake_runtime::Call& call, void* self) {
  const std::string what = harness::Describe(call);
  if (!what.empty()) timeline::Note(what);
  auto* test = static_cast<FakeRuntimeTest*>(self);
  if (test->onCall) test->onCall(call);
}

std::int32_t FakeRuntimeTest::Variable(int type, int index) const {
  const auto found = runtime->variables.find(fake_runtime::VariableKey(type, index));
  return found == runtime->variables.end() ? 0 : found->second;
}

void FakeRuntimeTest::SetVariable(int type, int index, std::int32_t value) {
  runtime->variables[fake_runtime::VariableKey(type, index)] = value;
}

fake_runtime::Fault WriteFault(int type, int index) {
  fake_runtime::Fault fault;
  fault.kind = fake_runtime::Kind::WriteSubmit;
  fault.type = type;
  fault.index = index;
  return fault;
}

fake_runtime::Fault ReadFault(int type, int index) {
  fake_runtime::Fault fault = WriteFault(type, index);
  fault.kind = fake_runtime::Kind::ReadSubmit;
  return fault;
}
