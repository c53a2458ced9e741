// Windows: the logon task registered and removed through schtasks, from the definition the
// template gives; and the console window minimised for a task, which cannot choose its window's
// state.
#include <windows.h>

#include <string>
#include <vector>

#include "run/task.h"
#include "run/task_definition.h"

namespace okvrun {

namespace {

// Task Scheduler 2.0 came with Vista (6.0): Windows XP's reads no task definition.
bool SchedulerReadsDefinitions() {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  return GetVersionExA(&version) == 0 || version.dwMajorVersion >= 6;
}

// The task runs with another current folder (the system's): every path in it must be whole.
std::string FullPath(const std::string& path) {
  char full[MAX_PATH * 4];
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  return length == 0 || length >= sizeof full ? path : std::string(full, length);
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// DOMAIN\user (the PC's name for a local account), the form the task's UserId takes; the plain
// name when the account cannot be looked up.
std::string CurrentUser() {
  char user[256 + 1];
  DWORD userSize = sizeof user;
  if (GetUserNameA(user, &userSize) == 0) return "";
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof sid;
  char domain[256 + 1];
  DWORD domainSize = sizeof domain;
  SID_NAME_USE use;
  if (LookupAccountNameA(nullptr, user, sid, &sidSize, domain, &domainSize, &use) == 0 ||
      domain[0] == '\0') {
    return user;
  }
  return std::string(domain) + "\\" + user;
}

// The definition as schtasks reads it: UTF-16LE after a byte-order mark, in a temporary file.
// Answers the file's name, or an empty one.
std::string WriteDefinition(const std::string& definition) {
  const std::string xml = TaskDefinitionDeclaring(definition, "UTF-16");
  // The paths in it came from the command line, in the ANSI code page.
  const int units =
      MultiByteToWideChar(CP_ACP, 0, xml.data(), static_cast<int>(xml.size()), nullptr, 0);
  std::vector<WCHAR> text(static_cast<std::size_t>(units) + 1);
  text[0] = 0xFEFF;
  MultiByteToWideChar(CP_ACP, 0, xml.data(), static_cast<int>(xml.size()), text.data() + 1, units);

  char folder[MAX_PATH + 1];
  char name[MAX_PATH + 1];
  const DWORD folderLength = GetTempPathA(sizeof folder, folder);
  if (folderLength == 0 || folderLength > sizeof folder ||
      GetTempFileNameA(folder, "okv", 0, name) == 0) {
    return "";
  }
  const HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_TEMPORARY, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DeleteFileA(name);
    return "";
  }
  const DWORD bytes = static_cast<DWORD>(text.size() * sizeof(WCHAR));
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text.data(), bytes, &written, nullptr);
  CloseHandle(file);
  if (ok == 0 || written != bytes) {
    DeleteFileA(name);
    return "";
  }
  return name;
}

// The first line schtasks printed that says something, without its line end.
std::string FirstLine(const std::string& output) {
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find_first_of("\r\n", start);
    if (end == std::string::npos) end = output.size();
    const std::size_t text = output.find_first_not_of(" \t", start);
    if (text != std::string::npos && text < end) return output.substr(text, end - text);
    start = end + 1;
  }
  return "";
}

// Runs the system's schtasks with `arguments`; answers its exit code and leaves what it printed,
// standard error included, in `output` (-1 and why when it could not be started).
long RunSchtasks(const std::string& arguments, std::string& output) {
  // The system folder's own: a schtasks.exe in the current folder or on PATH is not asked.
  char program[MAX_PATH + 16];
  const UINT length = GetSystemDirectoryA(program, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    output = "schtasks could not be found: the system folder is not known";
    return -1;
  }
  lstrcatA(program, "\\schtasks.exe");

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (CreatePipe(&readEnd, &writeEnd, &inherit, 0) == 0) {
    output =
        "schtasks could not be started (no pipe, error " + std::to_string(GetLastError()) + ")";
    return -1;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  // Nothing to answer: schtasks asks nobody anything with /f, and must not wait for our console.
  const HANDLE nothing = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nothing;
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;
  std::string commandLine = "schtasks.exe " + arguments;
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessA(program, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process);
  const DWORD startError = GetLastError();
  // Ours closed, the pipe ends when schtasks ends.
  CloseHandle(writeEnd);
  if (nothing != INVALID_HANDLE_VALUE) CloseHandle(nothing);
  if (started == 0) {
    CloseHandle(readEnd);
    output = std::string("schtasks could not be started: ") + program + " (error " +
             std::to_string(startError) + ")";
    return -1;
  }
  char buffer[512];
  DWORD got = 0;
  while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) != 0 && got > 0) {
    output.append(buffer, got);
  }
  CloseHandle(readEnd);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<long>(code);
}

// Why schtasks failed, in its own words when it gave any (Wine's gives none).
std::string SchtasksFailure(const std::string& what, long code, const std::string& output) {
  const std::string said = FirstLine(output);
  if (!said.empty()) return what + ": " + said;
  return what + ": schtasks ended with exit code " + std::to_string(code) + " and said nothing";
}

}  // namespace

int InstallTask(const std::string& runExe, std::uint32_t port, const std::string& runtimeDir,
                std::string& why) {
  if (runExe.empty() || runtimeDir.empty() || port == 0) {
    why = port == 0 ? "there is no COM0: give the port number of the bridge's device"
                    : "the task needs okvbridge-run's path and the runtime's folder";
    return 2;
  }
  if (!SchedulerReadsDefinitions()) {
    why =
        "the logon task needs Windows Vista or later (Windows XP's task scheduler reads no "
        "task definition): put a shortcut to okvbridge-run, with --runtime-dir and the port, "
        "in the Startup folder instead";
    return 1;
  }
  const std::string folder = FullPath(runtimeDir);
  if (!IsFolder(folder)) {
    why = "runtime folder " + folder + " does not exist: give the folder where kolt8.dll is";
    return 1;
  }
  const std::string name = TaskName(port);
  const std::string file =
      WriteDefinition(TaskDefinition({CurrentUser(), FullPath(runExe), folder, port}));
  if (file.empty()) {
    why = "the task's definition could not be written to the temporary folder (error " +
          std::to_string(GetLastError()) + ")";
    return 1;
  }
  std::string output;
  const long code = RunSchtasks("/create /tn \"" + name + "\" /xml \"" + file + "\" /f", output);
  DeleteFileA(file.c_str());
  if (code == 0) return 0;
  why = SchtasksFailure("task \"" + name + "\" not registered", code, output);
  return 1;
}

int RemoveTask(std::uint32_t port, std::string& why) {
  const std::string name = TaskName(port);
  std::string output;
  const long code = RunSchtasks("/delete /tn \"" + name + "\" /f", output);
  if (code == 0) return 0;
  why = SchtasksFailure("task \"" + name + "\" not removed", code, output);
  return 1;
}

void MinimizeConsoleWindow() {
  const HWND window = GetConsoleWindow();
  if (window == nullptr) return;
  // Looked up at run time: what we ship imports from KERNEL32, msvcrt and ADVAPI32 alone, the DLLs
  // every Windows since XP has.
  const HMODULE user = LoadLibraryA("user32.dll");
  if (user == nullptr) return;
  using ShowWindowFunction = BOOL(WINAPI*)(HWND, int);
  const auto show = reinterpret_cast<ShowWindowFunction>(
      reinterpret_cast<void*>(GetProcAddress(user, "ShowWindow")));
  if (show != nullptr) show(window, SW_MINIMIZE);
}

}  // namespace okvrun
