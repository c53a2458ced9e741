// The logon task registered and removed through the system's schtasks (run under Wine, whose
// schtasks takes the same /create /xml and /delete and keeps each task as a file in the system
// folder's Tasks, as Windows does). GetVersionExA passes through the test first (the binary is
// linked with --wrap on its import pointer), so that it can play Windows XP.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "run/task.h"
#include "wrapped_import.h"

namespace {

DWORD playedMajorVersion = 0;  // 0: the system's own answer

BOOL WINAPI PlayedGetVersionExA(LPOSVERSIONINFOA version) {
  if (playedMajorVersion == 0) {
    // The system's own version, straight from the kernel32 export (not through our wrap).
    using Function = BOOL(WINAPI*)(LPOSVERSIONINFOA);
    const auto real = reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetVersionExA")));
    return real(version);
  }
  version->dwMajorVersion = playedMajorVersion;
  version->dwMinorVersion = 1;
  version->dwBuildNumber = 2600;
  version->dwPlatformId = VER_PLATFORM_WIN32_NT;
  return TRUE;
}

}  // namespace

extern "C" {
decltype(&GetVersionExA) wrappedGetVersionExA __asm__(OKV_WRAPPED(GetVersionExA,
                                                                  4)) = PlayedGetVersionExA;
}

namespace {

// Where the task scheduler keeps a registered task: in the system folder of the system's own
// bitness, which a 32-bit program on 64-bit Windows sees as Sysnative (its system32 is redirected
// to SysWOW64, which holds no Tasks).
std::string TaskFile(const std::string& name) {
  char folder[MAX_PATH];
  BOOL wow64 = FALSE;
  if (IsWow64Process(GetCurrentProcess(), &wow64) && wow64) {
    GetWindowsDirectoryA(folder, sizeof folder);
    return std::string(folder) + "\\Sysnative\\Tasks\\" + name;
  }
  GetSystemDirectoryA(folder, sizeof folder);
  return std::string(folder) + "\\Tasks\\" + name;
}

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ThisProgram() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  return std::string(path, length);
}

std::string TempFolder() {
  char folder[MAX_PATH];
  const DWORD length = GetTempPathA(sizeof folder, folder);
  return std::string(folder, length);  // with its trailing backslash
}

// Port numbers of their own, so that no other test's task is touched.
constexpr std::uint32_t kPort = 47;

class LogonTask : public testing::Test {
 protected:
  void TearDown() override {
    std::string ignored;
    okvrun::RemoveTask(kPort, ignored);
  }
};

TEST_F(LogonTask, RegisteredWithTheSystemsSchtasksThenRemoved) {
  std::string why;
  ASSERT_EQ(okvrun::InstallTask(ThisProgram(), kPort, TempFolder(), why), 0) << why;
  const std::string file = TaskFile("okvbridge COM47");
  EXPECT_TRUE(Exists(file)) << file;
  // Again, as after an update: the task is replaced, not refused.
  ASSERT_EQ(okvrun::InstallTask(ThisProgram(), kPort, TempFolder(), why), 0) << why;

  ASSERT_EQ(okvrun::RemoveTask(kPort, why), 0) << why;
  EXPECT_FALSE(Exists(file));
  why.clear();
  EXPECT_EQ(okvrun::RemoveTask(kPort, why), 1) << "there is no task left to remove";
  EXPECT_NE(why.find("okvbridge COM47"), std::string::npos) << why;
  EXPECT_EQ(why.find('\n'), std::string::npos) << "one line: " << why;
}

TEST_F(LogonTask, AMissingRuntimeFolderIsSaidAndNothingIsRegistered) {
  std::string why;
  const std::string folder = TempFolder() + "no such runtime";
  EXPECT_EQ(okvrun::InstallTask(ThisProgram(), kPort, folder, why), 1);
  EXPECT_NE(why.find(folder), std::string::npos) << why;
  EXPECT_FALSE(Exists(TaskFile("okvbridge COM47")));
}

TEST_F(LogonTask, WindowsXPIsToldToUseTheStartupFolder) {
  playedMajorVersion = 5;
  std::string why;
  EXPECT_EQ(okvrun::InstallTask(ThisProgram(), kPort, TempFolder(), why), 1);
  EXPECT_NE(why.find("Startup folder"), std::string::npos) << why;
  EXPECT_FALSE(Exists(TaskFile("okvbridge COM47")));
}

}  // namespace
