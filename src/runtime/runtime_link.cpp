// The link to the runtime library: loading it and resolving its entry point, and the read, write
// and executor-probe operations built on the request block. The block is one process-wide record,
// rebuilt from zero for every call; the entry point answers in the same bytes before it returns.
#include "runtime/runtime_link.h"

#include "platform/platform.h"

namespace {

using EntryPoint = void(OKV_CDECL*)(void* block);

constexpr std::uint16_t kAnswerNotReady = 0xFFFF;
constexpr std::uint32_t kCompletionWaitMs = 1000;

void* runtimeLibrary = nullptr;
EntryPoint entryPoint = nullptr;
RuntimeRequest request{};
// A fetch does not say what it fetches, so the read's type is kept for decoding its answer.
VarType pendingReadType = 0;

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
