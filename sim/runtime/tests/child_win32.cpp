// Windows side of the tests' process and file helpers: CreateProcess with the output redirected
// into inheritable file handles, Ctrl-C delivered on the child's own console, and ReadFile /
// WriteFile at an offset.
#include <windows.h>

#include <cstdlib>

#include "child.h"

namespace child {
namespace {

// One argument quoted so that the child's C runtime splits the command line back into exactly
// it: backslashes count only before a quote, where they are doubled.
std::string Quoted(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string quoted = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + "\"";
}

// The build hands the test the tool's host path; under Wine it is turned into the Windows name
// of the same file with Wine's own converter, as kolt8.dll does for KOLT8_SIM_STATE.
std::string WindowsName(const std::string& path) {
  using DosNameFn = WCHAR*(CDECL*)(LPCSTR unix_name);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  auto dos_name = kernel == nullptr ? nullptr
                                    : reinterpret_cast<DosNameFn>(reinterpret_cast<void*>(
                                          GetProcAddress(kernel, "wine_get_dos_file_name")));
  WCHAR* converted =
      path.empty() || path[0] != '/' || dos_name == nullptr ? nullptr : dos_name(path.c_str());
  if (converted == nullptr) return path;
  char name[MAX_PATH * 4];
  const int length =
      WideCharToMultiByte(CP_ACP, 0, converted, -1, name, sizeof name, nullptr, nullptr);
  HeapFree(GetProcessHeap(), 0, converted);
  return length > 0 ? std::string(name) : path;
}

HANDLE OutputFile(const std::string& path, SECURITY_ATTRIBUTES* inherit) {
  return CreateFileA(path.c_str(), GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, inherit, CREATE_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool Start(const std::string& host_program, const std::vector<std::string>& args,
           const std::string& out_path, const std::string& err_path, Handle* handle) {
  const std::string program = WindowsName(host_program);
  std::string command = Quoted(program);
  for (const std::string& a : args) command += " " + Quoted(a);
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE out = OutputFile(out_path, &inherit);
  HANDLE err = OutputFile(err_path, &inherit);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = INVALID_HANDLE_VALUE;
  startup.hStdOutput = out;
  startup.hStdError = err;
  PROCESS_INFORMATION process = {};
  // A console of its own (without a window), as a user's command prompt gives the tool, so that
  // Interrupt can press Ctrl-C on it without reaching this test.
  const bool started = out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
                       CreateProcessA(program.c_str(), &command[0], nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
  if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
  if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
  if (!started) return false;
  CloseHandle(process.hThread);
  *handle = reinterpret_cast<Handle>(process.hProcess);
  return true;
}

bool Wait(Handle handle, int limit_ms, int* code) {
  HANDLE process = reinterpret_cast<HANDLE>(handle);
  if (WaitForSingleObject(process, static_cast<DWORD>(limit_ms)) != WAIT_OBJECT_0) return false;
  DWORD exit_code = 0;
  *code = GetExitCodeProcess(process, &exit_code) ? static_cast<int>(exit_code) : -1;
  CloseHandle(process);
  return true;
}

void Interrupt(Handle handle) {
  // Ctrl-C goes to every process on a console: this test joins the child's for the moment it
  // takes, ignoring the event itself.
  const DWORD pid = GetProcessId(reinterpret_cast<HANDLE>(handle));
  FreeConsole();
  if (!AttachConsole(pid)) return;
  SetConsoleCtrlHandler(nullptr, TRUE);
  GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  FreeConsole();
}

void Kill(Handle handle) {
  HANDLE process = reinterpret_cast<HANDLE>(handle);
  TerminateProcess(process, 255);
  WaitForSingleObject(process, INFINITE);
  CloseHandle(process);
}

}  // namespace child

namespace files {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

OVERLAPPED At(std::size_t offset) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(static_cast<unsigned long long>(offset) >> 32);
  return at;
}

}  // namespace

int ProcessId() {
  return static_cast<int>(GetCurrentProcessId());
}

void SetEnv(const char* name, const std::string& value) {
  // The C runtime's copy for getenv, and the process's for the children.
  _putenv_s(name, value.c_str());
  SetEnvironmentVariableA(name, value.c_str());
}

long long ReadAt(const std::string& path, std::size_t offset, void* bytes, std::size_t count) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  OVERLAPPED at = At(offset);
  DWORD done = 0;
  // Reading from the end of the file fails with ERROR_HANDLE_EOF, which is 0 bytes here.
  if (!ReadFile(file, bytes, static_cast<DWORD>(count), &done, &at)) done = 0;
  CloseHandle(file);
  return done;
}

long long WriteAt(const std::string& path, std::size_t offset, const void* bytes,
                  std::size_t count) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  OVERLAPPED at = At(offset);
  DWORD done = 0;
  if (!WriteFile(file, bytes, static_cast<DWORD>(count), &done, &at)) done = 0;
  CloseHandle(file);
  return done;
}

bool Replace(const std::string& path, const std::vector<unsigned char>& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD done = 0;
  const bool written =
      bytes.empty() ||
      (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) &&
       done == bytes.size());
  return CloseHandle(file) && written;
}

void Remove(const std::string& path) {
  DeleteFileA(path.c_str());
}

}  // namespace files
