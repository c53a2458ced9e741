// Windows side of the simulated runtime: the state file mapped with a file mapping (so that Linux
// processes can have the same file mapped while kolt8.dll runs under Wine), the temporary folder,
// and the clocks.
#include <windows.h>

#include <cstdlib>
#include <string>

#include "sim_os.h"
#include "winfloor/winfloor.h"

namespace simos {
namespace {

// Wine's own converter from a host path to a Windows one, present only under Wine.
using DosNameFn = WCHAR*(CDECL*)(LPCSTR unix_name);

DosNameFn WineDosName() {
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  if (kernel == nullptr) return nullptr;
  return reinterpret_cast<DosNameFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_dos_file_name")));
}

// Test harnesses on the Linux side hand the library the same path they map themselves, e.g.
// "/tmp/x/kolt8.state". Under Wine such a path is turned into the Windows name of the same file
// (normally "Z:\tmp\x\kolt8.state"); other paths, and every path on Windows, are used unchanged.
std::wstring WindowsPath(const char* path) {
  DosNameFn dos_name = WineDosName();
  if (path[0] == '/' && dos_name != nullptr) {
    WCHAR* converted = dos_name(path);
    if (converted != nullptr) {
      std::wstring result(converted);
      HeapFree(GetProcessHeap(), 0, converted);
      return result;
    }
  }
  int length = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring result(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, path, -1, &result[0], length);
  result.resize(static_cast<std::size_t>(length) - 1);
  return result;
}

// A byte range far beyond the file's end: locking it serialises the processes that lay the file
// out without making the data itself off limits to ReadFile in anyone else's hands.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

// The system's text for `code`, without its final full stop and line break, and the code itself.
std::string SystemReason(DWORD code) {
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string reason = length > 0 && text != nullptr ? std::string(text, length) : "system error";
  if (text != nullptr) LocalFree(text);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == ' ' || reason.back() == '.')) {
    reason.pop_back();
  }
  return reason + " (error " + std::to_string(code) + ")";
}

std::string FailedStep(const char* what) {
  return std::string(what) + ": " + SystemReason(GetLastError());
}

// Checks the size with `layout` and grows an empty file; false with `why` set otherwise. Under
// the lock, before anything is written.
bool SizeFile(HANDLE file, const Layout& layout, std::string* why) {
  LARGE_INTEGER current;
  if (!GetFileSizeEx(file, &current)) {
    *why = FailedStep("cannot read its size");
    return false;
  }
  const std::uint64_t found = static_cast<std::uint64_t>(current.QuadPart);
  if (!layout.accept_size(found, why)) return false;
  if (found != 0) return true;
  LARGE_INTEGER wanted;
  wanted.QuadPart = static_cast<LONGLONG>(layout.size);
  if (SetFilePointerEx(file, wanted, nullptr, FILE_BEGIN) && SetEndOfFile(file)) return true;
  *why = FailedStep("cannot size it");
  return false;
}

// Maps the whole file, which has its size by now; null with `why` set when it cannot.
unsigned char* MapWhole(HANDLE file, std::size_t size, std::string* why) {
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 0, nullptr);
  if (mapping == nullptr) {
    *why = FailedStep("cannot map it");
    return nullptr;
  }
  auto* base = static_cast<unsigned char*>(
      MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size));
  if (base == nullptr) *why = FailedStep("cannot map it");
  // The view keeps the mapping and the file alive; the handle is no longer needed.
  CloseHandle(mapping);
  return base;
}

}  // namespace

unsigned char* MapSharedFile(const char* path, const Layout& layout, std::string* why) {
  const std::wstring name = WindowsPath(path);
  if (name.empty()) {
    *why = "its name cannot be turned into a Windows file name";
    return nullptr;
  }
  // Shared every way: the control tool, a Linux harness and other copies of the library have the
  // file open (or mapped) at the same time, and `reset` rewrites it in place.
  HANDLE file = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    // The file itself is made when missing: only its folder can be.
    const DWORD error = GetLastError();
    const bool no_folder = error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND;
    *why = std::string(no_folder ? "its folder does not exist" : "cannot open it") + ": " +
           SystemReason(error);
    return nullptr;
  }

  // This lock orders the Windows processes among themselves only: under Wine it does not meet the
  // flock of the Linux side. The Linux harnesses create the file before starting the bridge, so
  // the library finds it laid out and `prepare` only checks it.
  OVERLAPPED lock_at = {};
  lock_at.OffsetHigh = kLockOffsetHigh;
  const bool locked = LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lock_at) != 0;

  unsigned char* base = nullptr;
  if (!locked) {
    *why = FailedStep("cannot lock it");
  } else if (SizeFile(file, layout, why)) {
    base = MapWhole(file, layout.size, why);
    if (base != nullptr && !layout.prepare(base, why)) {
      UnmapViewOfFile(base);
      base = nullptr;
    }
  }
  if (locked) UnlockFileEx(file, 0, 1, 0, &lock_at);
  CloseHandle(file);
  return base;
}

std::string DefaultStatePath() {
  // Under Wine the default is the Linux side's, so that the control tool run without
  // KOLT8_SIM_STATE drives this library too.
  if (WineDosName() != nullptr) {
    const char* dir = std::getenv("TMPDIR");
    std::string folder = (dir != nullptr && dir[0] == '/') ? dir : "/tmp";
    if (folder.back() != '/') folder += '/';
    return folder + "kolt8-sim.state";
  }
  char folder[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof folder, folder);
  if (length == 0 || length > MAX_PATH) return "kolt8-sim.state";
  return std::string(folder, length) + "kolt8-sim.state";
}

std::uint64_t MonotonicMicros() {
  // The performance counter rather than GetTickCount64: the tick count moves in steps of 10 to
  // 16 ms, coarser than the completion delays the tests set.
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const unsigned long long ticks = static_cast<unsigned long long>(now.QuadPart);
  const unsigned long long per_second = static_cast<unsigned long long>(frequency.QuadPart);
  // Split so that the multiplication cannot overflow however long the machine has been up.
  return ticks / per_second * 1000000u + ticks % per_second * 1000000u / per_second;
}

std::uint32_t MonotonicMillis() {
  return static_cast<std::uint32_t>(MonotonicMicros() / 1000u);
}

std::uint64_t WallClockMicros() {
  // To the microsecond from Windows 8 on; in the system tick's steps before.
  const std::uint64_t since_1601 = winfloor::SystemTimeAsFileTime();
  // 100 ns units from 1601-01-01 to microseconds from 1970-01-01, as the Linux side writes them.
  constexpr std::uint64_t kEpochDifference = 116444736000000000ull;
  return (since_1601 - kEpochDifference) / 10u;
}

void SleepMillis(std::uint32_t ms) {
  Sleep(ms);
}

}  // namespace simos
