// Shared set-up of the virtual-time tests: the console recorder, access to the fake runtime
// library once the bridge has loaded it, and the fixtures that combine them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "fake_clock.h"
#include "fake_runtime.h"
#include "timeline.h"

namespace harness {

// Loads the fake runtime (by the same search the bridge uses) and answers its state, or null when
// the library found is not the fake.
fake_runtime::State* FakeRuntime();

// "m1000" for type 5 index 1000: how the timeline names a variable.
std::string RefName(int type, int index);

// A request as the timeline shows it: "probe", "read m1000", "write m1000 2"; empty for fetches.
std::string Describe(const fake_runtime::Call& call);

// Fetch calls the runtime has seen.
int FetchCount(const fake_runtime::State& runtime);

}  // namespace harness

// Virtual clock, empty timeline, console captured into the timeline.
class VirtualTimeTest : public testing::Test {
 public:
  static constexpr std::uint32_t kStart = 100000;

 protected:
  void SetUp() override;
  void TearDown() override;

  // Everything the bridge printed so far, byte for byte.
  const std::string& Console() const;
  void ClearConsole();

 private:
  std::FILE* console_ = nullptr;
};

// VirtualTimeTest with the fake runtime loaded and watched: each request lands in the timeline,
// then `onCall` (when set) runs, so a test can act as the application or slow the runtime down.
class FakeRuntimeTest : public VirtualTimeTest {
 protected:
  void SetUp() override;

  fake_runtime::State* runtime = nullptr;
  std::function<void(const fake_runtime::Call&)> onCall;

  std::int32_t Variable(int type, int index) const;
  void SetVariable(int type, int index, std::int32_t value);
  std::int32_t Mailbox() const { return Variable(5, 1000); }
  void AddFault(const fake_runtime::Fault& fault) { runtime->faults.push_back(fault); }
  void ForgetCalls() {
    runtime->calls.clear();
    runtime->fetches = 0;
  }

 private:
  static void Observe(const fake_runtime::Call& call, void* self);
};

// Builders for the usual faults on one variable (type, index).
fake_runtime::Fault WriteFault(int type, int index);
fake_runtime::Fault ReadFault(int type, int index);
