// The functions newer than the oldest Windows we run on, looked up at run time with a fallback, and
// the import slot of GetTickCount64 taken over so that the linker never imports it.
//
// GetTickCount64 is not called by our own code: Debian's prebuilt static winpthreads (which the
// C++ library pulls in for thread-safe statics, std::thread and the clocks) imports it, and that
// import alone stops a program from starting on XP. This file defines the symbols the import
// library would have supplied, the function and its import pointer, so that the linker takes
// ours and the import table never names it. Nothing here may use a function-local static or
// anything else that needs winpthreads, which would call back into this file while it is set up.
#include <windows.h>

#include <atomic>

#include "winfloor/winfloor.h"

namespace winfloor {
namespace {

using Function = void (*)();
using Tick64Function = ULONGLONG(WINAPI*)();
using FileTimeFunction = void(WINAPI*)(LPFILETIME);

// GetProcAddress hands back FARPROC; void (*)() is the type any function pointer passes through.
void* SystemLookup(const char* name) {
  const HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return nullptr;
  return reinterpret_cast<void*>(reinterpret_cast<Function>(GetProcAddress(kernel, name)));
}

std::uint32_t SystemTick() {
  return GetTickCount();
}

// Constant-initialised: no constructor runs before the first call, which may come from winpthreads
// while the C runtime starts.
std::atomic<Lookup> lookup{SystemLookup};
std::atomic<Tick32> tick32{SystemTick};

// One function's lookup, made once: its answer does not change while the process runs. Two
// threads that look up at the same time store the same answer.
struct Found {
  std::atomic<bool> known{false};
  std::atomic<void*> function{nullptr};
};
Found tickCount64;
Found preciseTime;

void* Find(Found& found, const char* name) {
  if (found.known.load(std::memory_order_acquire)) {
    return found.function.load(std::memory_order_relaxed);
  }
  void* const function = lookup.load()(name);
  found.function.store(function, std::memory_order_relaxed);
  found.known.store(true, std::memory_order_release);
  return function;
}

void Forget(Found& found) {
  found.known.store(false);
  found.function.store(nullptr);
}

// The last 64-bit tick the fallback gave out; 0 before the first. It is one word so that every
// thread moves it forward with a single compare-and-swap, never backward.
static_assert(std::atomic<std::uint64_t>::is_always_lock_free, "the tick must not need a lock");
std::atomic<std::uint64_t> lastTick{0};

std::uint64_t FallbackTick64() {
  std::uint64_t last = lastTick.load();
  for (;;) {
    const std::uint64_t now = ExtendTick(last, tick32.load()());
    if (now <= last) return now;  // read before another thread's: nothing to move forward
    if (lastTick.compare_exchange_weak(last, now)) return now;
  }
}

}  // namespace

std::uint64_t ExtendTick(std::uint64_t last, std::uint32_t now) {
  if (last == 0) return now;
  // The step from the last tick given out, taken as signed: forward up to 24.8 days, backward a
  // little when this thread read the tick before another one stored a later one.
  const auto step = static_cast<std::int32_t>(now - static_cast<std::uint32_t>(last));
  return last + static_cast<std::uint64_t>(static_cast<std::int64_t>(step));
}

std::uint64_t TickCount64() {
  void* const function = Find(tickCount64, "GetTickCount64");
  if (function != nullptr) {
    return reinterpret_cast<Tick64Function>(reinterpret_cast<Function>(function))();
  }
  return FallbackTick64();
}

std::uint64_t SystemTimeAsFileTime() {
  FILETIME now;
  void* const function = Find(preciseTime, "GetSystemTimePreciseAsFileTime");
  if (function != nullptr) {
    reinterpret_cast<FileTimeFunction>(reinterpret_cast<Function>(function))(&now);
  } else {
    GetSystemTimeAsFileTime(&now);
  }
  return (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

void UseForTests(Lookup newLookup, Tick32 newTick) {
  lookup.store(newLookup != nullptr ? newLookup : SystemLookup);
  tick32.store(newTick != nullptr ? newTick : SystemTick);
  Forget(tickCount64);
  Forget(preciseTime);
  lastTick.store(0);
}

}  // namespace winfloor

// The toolchain's headers declare GetTickCount64 only for Vista and later, which the build's floor
// hides; so these definitions meet no declaration of their own.
extern "C" ULONGLONG WINAPI GetTickCount64() {
  return winfloor::TickCount64();
}

// The import pointer that callers compiled for a DLL import jump through. Its name is the import
// library's: decorated on 32 bits, where WINAPI functions carry their argument size.
#if defined(_WIN64)
#define OKV_TICK64_SLOT "__imp_GetTickCount64"
#else
#define OKV_TICK64_SLOT "__imp__GetTickCount64@0"
#endif
extern "C" {
extern ULONGLONG(WINAPI* okvTickCount64Slot)() __asm__(OKV_TICK64_SLOT);
ULONGLONG(WINAPI* okvTickCount64Slot)() = GetTickCount64;
}
