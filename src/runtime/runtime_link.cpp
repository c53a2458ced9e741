// The runtime side of the bridge: the library and its entry point, variable references, the
// request block and the operations built on it. The block is one process-wide record, rebuilt
// from zero for every call; the entry point answers in the same bytes before it returns.
#include "runtime/runtime_link.h"

#include <cstring>

#include "platform/platform.h"

namespace {

using EntryPoint = void(OKV_CDECL*)(void* block);

constexpr std::uint16_t kCommandSubmit = 0x0B00;
constexpr std::uint16_t kCommandFetch = 0x0B01;
constexpr std::uint16_t kAnswerNotReady = 0xFFFF;
constexpr std::uint32_t kCompletionWaitMs = 1000;

void* runtimeLibrary = nullptr;
EntryPoint entryPoint = nullptr;
RuntimeRequest request{};
// A fetch does not say what it fetches, so the read's type is kept for decoding its answer.
VarType pendingReadType = 0;

void SetWord(RuntimeRequest& block, std::size_t offset, std::uint16_t word) {
  block.bytes[offset] = static_cast<std::uint8_t>(word & 0xFFu);
  block.bytes[offset + 1] = static_cast<std::uint8_t>(word >> 8);
}

void BeginBlock(RuntimeRequest& block, std::uint16_t command) {
  std::memset(block.bytes, 0, sizeof block.bytes);
  SetWord(block, 0, command);
  SetWord(block, 2, 2);
}

int TypeOfLetter(char letter) {
  if (letter == 'U' || letter == 'u') return 2;  // U is another name for B
  static const char kLetters[] = "IOBTCMFLiobtcmfl";
  const char* found = letter != '\0' ? std::strchr(kLetters, letter) : nullptr;
  return found != nullptr ? static_cast<int>(found - kLetters) % 8 : -1;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

void CallEntryPoint() {
  // Without a connection the block is left as submitted, which reads as a refusal: callers are
  // meant to connect first, and this keeps a slip from becoming a crash.
  if (entryPoint != nullptr) entryPoint(request.bytes);
}

// One fetch: false while the runtime has no result yet.
bool FetchResult(StatusCode& status, std::int32_t* value) {
  EncodeFetch(request);
  CallEntryPoint();
  if (RequestWord(request, 0) == kAnswerNotReady) return false;
  status = request.bytes[7];
  if (value != nullptr) DecodeReadAnswer(request, pendingReadType, *value);
  return true;
}

// Hands the submit already in the block to the runtime, then fetches its completion again and
// again, without a pause, until a second has passed on the tick count since the submit was
// accepted. The wait is deliberately busy: the runtime library is closed, and it may well move its
// exchange with the runtime on only when it is called, so asking less often could make it slower
// to complete; and a sleep of a millisecond lasts up to a whole timer tick on Windows (15.6 ms),
// which would cut a slow runtime down to some 64 fetches a second.
bool SubmitAndAwait(StatusCode& status, std::int32_t* value) {
  CallEntryPoint();
  const std::uint16_t answer = RequestWord(request, 0);
  if (answer != 0) {
    status = answer;
    return false;
  }
  const std::uint32_t t0 = platform::TickCount();
  do {
    if (FetchResult(status, value)) return true;
  } while (platform::TickCount() - t0 < kCompletionWaitMs);
  status = kStatusTimeout;
  return false;
}

}  // namespace

std::uint16_t RequestWord(const RuntimeRequest& block, std::size_t offset) {
  return static_cast<std::uint16_t>(block.bytes[offset] | (block.bytes[offset + 1] << 8));
}

void EncodeReadSubmit(RuntimeRequest& block, const VarRef& ref) {
  BeginBlock(block, kCommandSubmit);
  SetWord(block, 6, ref.type);
  SetWord(block, 8, ref.index);
}

void EncodeWriteSubmit(RuntimeRequest& block, const VarRef& ref, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  std::uint16_t word6 = 0x0100;
  std::uint16_t word10 = ref.type;
  std::uint16_t word12 = 0;
  if (ref.type <= 2) {
    // Flags travel as a marker in the high byte: 5 for -1 (true as the runtime writes it), 1 for
    // any other nonzero value.
    if (value == -1) {
      word10 |= 0x0500;
    } else if (value != 0) {
      word10 |= 0x0100;
    }
  } else if (ref.type <= 5) {
    word12 = static_cast<std::uint16_t>(bits & 0xFFFFu);
  } else if (ref.type <= 7) {
    word12 = static_cast<std::uint16_t>(bits & 0xFFFFu);
    word6 = static_cast<std::uint16_t>(word6 | ((bits >> 16) & 0xFFu));
    word10 = static_cast<std::uint16_t>(word10 | (((bits >> 24) & 0xFFu) << 8));
  }
  BeginBlock(block, kCommandSubmit);
  SetWord(block, 6, word6);
  SetWord(block, 8, ref.index);
  SetWord(block, 10, word10);
  SetWord(block, 12, word12);
}

void EncodeProbe(RuntimeRequest& block) {
  BeginBlock(block, kCommandSubmit);
  SetWord(block, 8, 0xFFFF);
  SetWord(block, 10, 0xFFFF);
  SetWord(block, 12, 0xFFFF);
}

void EncodeFetch(RuntimeRequest& block) {
  BeginBlock(block, kCommandFetch);
}

void DecodeReadAnswer(const RuntimeRequest& block, VarType type, std::int32_t& value) {
  if (type <= 2) {
    // The runtime answers a set flag with a zero byte.
    value = block.bytes[6] == 0 ? 1 : 0;
  } else if (type == 4 || type == 5) {
    value = RequestWord(block, 10);
  } else if (type <= 7) {
    const std::uint32_t bits =
        (static_cast<std::uint32_t>(RequestWord(block, 12)) << 16) | RequestWord(block, 10);
    value = static_cast<std::int32_t>(bits);
  }
}

bool ConnectRuntime() {
  if (entryPoint != nullptr) return true;
  void* library = platform::OpenLibrary(platform::RuntimeLibraryName());
  if (library == nullptr) return false;
  void* symbol = platform::LibrarySymbol(library, "KoltEntryPoint");
  if (symbol == nullptr) {
    platform::CloseLibrary(library);
    return false;
  }
  runtimeLibrary = library;
  entryPoint = reinterpret_cast<EntryPoint>(symbol);
  return true;
}

bool ParseVarRef(const char* text, VarRef& ref) {
  if (text == nullptr) return false;
  const int type = TypeOfLetter(text[0]);
  if (type < 0 || !IsDigit(text[1])) return false;
  std::uint32_t index = 0;
  const char* digit = text + 1;
  for (; IsDigit(*digit); ++digit) {
    index = index * 10u + static_cast<std::uint32_t>(*digit - '0');
    if (index > 9999u) return false;  // also keeps a long digit run from overflowing
  }
  if (*digit != '\0') return false;
  ref.type = static_cast<VarType>(type);
  ref.index = static_cast<std::uint16_t>(index);
  return true;
}

bool ReadVar(const VarRef& ref, StatusCode& status, std::int32_t& value) {
  EncodeReadSubmit(request, ref);
  pendingReadType = ref.type;
  return SubmitAndAwait(status, &value);
}

bool WriteVar(const VarRef& ref, std::int32_t value, StatusCode& status) {
  EncodeWriteSubmit(request, ref, value);
  return SubmitAndAwait(status, nullptr);
}

bool ProbeExecutor() {
  EncodeProbe(request);
  CallEntryPoint();
  return RequestWord(request, 0) == 0;
}
