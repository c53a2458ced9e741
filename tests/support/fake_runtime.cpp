// The scriptable runtime of the unit tests (as libkolt8.so, kolt8.dll) and of the fuzz targets.
#include "fake_runtime.h"

#include <cstring>

namespace {

using fake_runtime::Fault;
using fake_runtime::Kind;
using fake_runtime::SetWord;
using fake_runtime::Word;

constexpr std::uint16_t kSubmit = 0x0B00;
constexpr std::uint16_t kFetch = 0x0B01;
constexpr std::uint16_t kNotReady = 0xFFFF;

fake_runtime::State state;

struct Pending {
  bool active = false;
  Kind kind = Kind::Unknown;
  int type = 0;
  int index = 0;
  Fault fault;
};
Pending pending;

void Decode(fake_runtime::Call& call) {
  const std::uint8_t* b = call.in;
  call.kind = Kind::Unknown;
  call.type = call.index = call.value = 0;
  if (Word(b, 0) == kFetch) {
    call.kind = Kind::Fetch;
  } else if (Word(b, 0) != kSubmit) {
    return;
  } else if (Word(b, 8) == 0xFFFF && Word(b, 10) == 0xFFFF && Word(b, 12) == 0xFFFF) {
    call.kind = Kind::Probe;
  } else if (b[7] == 0x00) {
    call.kind = Kind::ReadSubmit;
    call.type = b[6];
    call.index = Word(b, 8);
  } else if (b[7] == 0x01) {
    call.kind = Kind::WriteSubmit;
    call.type = b[10];
    call.index = Word(b, 8);
    const std::uint8_t high = b[11];
    if (call.type <= 2) {
      call.value = high == 0x05 ? -1 : high;  // the flag markers: 5 for -1, 1 for other values
    } else if (call.type <= 5) {
      call.value = Word(b, 12);  // 16 bits go over, the high half stays behind
    } else {
      const std::uint32_t bits = (static_cast<std::uint32_t>(high) << 24) |
                                 (static_cast<std::uint32_t>(b[6]) << 16) | Word(b, 12);
      call.value = static_cast<std::int32_t>(bits);
    }
  }
}

Fault FaultFor(const fake_runtime::Call& call) {
  for (Fault& fault : state.faults) {
    if (fault.uses == 0 || fault.kind != call.kind) continue;
    if (fault.type >= 0 && fault.type != call.type) continue;
    if (fault.index >= 0 && fault.index != call.index) continue;
    if (fault.matchValue && fault.value != call.value) continue;
    if (fault.uses > 0) --fault.uses;
    return fault;
  }
  return Fault{};
}

void AnswerSubmit(const fake_runtime::Call& call, std::uint8_t* block) {
  const Fault fault = FaultFor(call);
  if (fault.refusal != 0) {
    SetWord(block, 0, fault.refusal);
    return;
  }
  SetWord(block, 0, 0);
  if (call.kind == Kind::WriteSubmit) {
    state.variables[fake_runtime::VariableKey(call.type, call.index)] = call.value;
  }
  pending = Pending{true, call.kind, call.type, call.index, fault};
}

void AnswerFetch(std::uint8_t* block) {
  if (!pending.active || pending.fault.notReadyFetches < 0) {
    SetWord(block, 0, kNotReady);
    return;
  }
  if (pending.fault.notReadyFetches > 0) {
    --pending.fault.notReadyFetches;
    SetWord(block, 0, kNotReady);
    return;
  }
  pending.active = false;
  const Fault& fault = pending.fault;
  SetWord(block, 0, fault.readyWord);
  block[7] = fault.resultCode;
  if (pending.kind != Kind::ReadSubmit) return;
  if (fault.rawAnswer) {
    block[6] = fault.byte6;
    SetWord(block, 10, fault.word10);
    SetWord(block, 12, fault.word12);
    return;
  }
  const auto found = state.variables.find(fake_runtime::VariableKey(pending.type, pending.index));
  fake_runtime::EncodeReadAnswer(pending.type, found == state.variables.end() ? 0 : found->second,
                                 block);
}

}  // namespace

void fake_runtime::EncodeReadAnswer(int type, std::int32_t value, std::uint8_t* block) {
  const auto bits = static_cast<std::uint32_t>(value);
  if (type <= 2) {
    block[6] = value != 0 ? 0 : 1;  // the runtime answers a set flag with a zero byte
  } else {
    SetWord(block, 10, static_cast<std::uint16_t>(bits & 0xFFFF));
    if (type == 3 || type >= 6) SetWord(block, 12, static_cast<std::uint16_t>(bits >> 16));
  }
}

extern "C" fake_runtime::State* FakeRuntimeState() {
  return &state;
}

extern "C" void KoltEntryPoint(void* request) {
  auto* block = static_cast<std::uint8_t*>(request);
  fake_runtime::Call call{};
  std::memcpy(call.in, block, sizeof call.in);
  Decode(call);
  switch (call.kind) {
    case Kind::Probe:
      SetWord(block, 0, state.executor ? 0 : state.noExecutorWord);
      break;
    case Kind::ReadSubmit:
    case Kind::WriteSubmit:
      AnswerSubmit(call, block);
      break;
    case Kind::Fetch:
      AnswerFetch(block);
      break;
    case Kind::Unknown:
      break;
  }
  std::memcpy(call.out, block, sizeof call.out);
  if (call.kind == Kind::Fetch) ++state.fetches;
  if (state.calls.size() < fake_runtime::kCallsKept) state.calls.push_back(call);
  if (state.observer != nullptr) state.observer(call, state.observerContext);
}
