// okvbridge-run on Windows: the bridge started with no console (its key wait then returns at once)
// in a job object that the system closes, and so ends the bridge, even when we are killed; its
// output on an anonymous pipe, which cannot be waited on, read by a thread of its own; console
// control events turned into a stop request; QueryDosDevice for the device behind COM<n>; and a
// named mutex for the one-per-port lock. Only functions Windows XP SP3 has.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "run/run_os.h"

namespace runos {

namespace {

// How long a closing console or a logoff leaves us before the system ends the process: Windows
// waits about 5 s for a handler of those events to return.
constexpr DWORD kCloseGraceMs = 4500;

HANDLE stopEvent = nullptr;  // auto-reset: each stop request is reported once
HANDLE doneEvent = nullptr;  // set once the bridge is ended, for a handler that waits on it
HANDLE job = nullptr;
HANDLE process = nullptr;
HANDLE reader = nullptr;
HANDLE dataEvent = nullptr;  // auto-reset: the reader has put bytes or the pipe's end in `shared`
CRITICAL_SECTION lock;

// What the reader thread hands over, under `lock`.
struct Shared {
  std::string bytes;
  bool ended = false;
} shared;

DWORD endCode = 0;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  SetEvent(stopEvent);
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // The system ends the process as soon as this returns: wait for the bridge to be ended first.
    WaitForSingleObject(doneEvent, kCloseGraceMs);
  }
  return TRUE;
}

DWORD WINAPI ReadOutput(LPVOID pipe) {
  char bytes[4096];
  DWORD got = 0;
  while (ReadFile(static_cast<HANDLE>(pipe), bytes, sizeof bytes, &got, nullptr) && got > 0) {
    EnterCriticalSection(&lock);
    shared.bytes.append(bytes, got);
    LeaveCriticalSection(&lock);
    SetEvent(dataEvent);
  }
  // ERROR_BROKEN_PIPE: the bridge, the pipe's only writer, has ended.
  CloseHandle(static_cast<HANDLE>(pipe));
  EnterCriticalSection(&lock);
  shared.ended = true;
  LeaveCriticalSection(&lock);
  SetEvent(dataEvent);
  return 0;
}

std::string Words(DWORD error) {
  char text[512] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, text, sizeof text, nullptr);
  std::string words(text, length);
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ' ||
                            words.back() == '.')) {
    words.pop_back();
  }
  return (words.empty() ? "system error" : words) + ", error " + std::to_string(error);
}

void MakeJob() {
  if (job != nullptr) return;
  job = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job != nullptr &&
      !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    job = nullptr;
  }
}

// The pipe's end and the process's end have both come.
bool Finished() {
  EnterCriticalSection(&lock);
  const bool ended = shared.ended;
  LeaveCriticalSection(&lock);
  if (!ended || WaitForSingleObject(process, 0) != WAIT_OBJECT_0) return false;
  GetExitCodeProcess(process, &endCode);
  CloseHandle(process);
  process = nullptr;
  WaitForSingleObject(reader, INFINITE);
  CloseHandle(reader);
  reader = nullptr;
  return true;
}

}  // namespace

std::string ProgramPath() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  return length > 0 && length < sizeof path ? path : "okvbridge-run.exe";
}

std::string ProgramFolder() {
  const std::string path = ProgramPath();
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? ".\\" : path.substr(0, slash + 1);
}

const char* BridgeFileName() {
  return "okvbridge.exe";
}

std::string DefaultLogPath() {
  return ProgramFolder() + "okvbridge.log";
}

const char* LineEnd() {
  return "\r\n";  // Notepad of every Windows version shows it
}

const char* LogFileMode() {
  return "abN";  // N: not inherited
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string LocalStamp() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth,
                now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  return text;
}

bool TakePortLock(std::uint32_t port, std::string& why) {
  const std::string name = "okvbridge-run-COM" + std::to_string(port);
  // Held until the process ends, whatever way it ends; the system then frees the name.
  const HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
  if (mutex == nullptr || GetLastError() != ERROR_ALREADY_EXISTS) return true;
  why = "another okvbridge-run already serves COM" + std::to_string(port);
  return false;
}

void CatchStopRequests() {
  stopEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  doneEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  dataEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  InitializeCriticalSection(&lock);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void PrepareConsole() {
  _setmode(_fileno(stdout), _O_BINARY);  // the lines end in CR LF already
}

void StopDone() {
  if (doneEvent != nullptr) SetEvent(doneEvent);
}

bool StartBridge(const std::string& exe, std::uint32_t port, const std::string& folder,
                 unsigned long& pid, std::string& why) {
  MakeJob();
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readOut = nullptr, writeOut = nullptr;
  if (!CreatePipe(&readOut, &writeOut, &inherit, 0)) {
    why = "no pipe (" + Words(GetLastError()) + ")";
    return false;
  }
  SetHandleInformation(readOut, HANDLE_FLAG_INHERIT, 0);
  const HANDLE empty = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = empty;
  startup.hStdOutput = writeOut;
  startup.hStdError = writeOut;
  PROCESS_INFORMATION info{};
  std::string line = "\"" + exe + "\" " + std::to_string(port);
  // No console of its own (its key wait returns at once, and Ctrl-C is ours to handle); suspended
  // until it is in the job, so that not even its first instant is outside it.
  const BOOL started =
      CreateProcessA(exe.c_str(), &line[0], nullptr, nullptr, TRUE,
                     CREATE_SUSPENDED | DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr,
                     folder.empty() ? nullptr : folder.c_str(), &startup, &info);
  const DWORD error = GetLastError();
  CloseHandle(writeOut);
  if (empty != INVALID_HANDLE_VALUE) CloseHandle(empty);
  if (!started) {
    CloseHandle(readOut);
    why = exe + " did not start (" + Words(error) + ")";
    return false;
  }
  // Refused when we run in a job that allows no other (a scheduled task before Windows 8): that
  // job then ends the bridge with us.
  if (job != nullptr) AssignProcessToJobObject(job, info.hProcess);
  EnterCriticalSection(&lock);
  shared = Shared{};
  LeaveCriticalSection(&lock);
  ResetEvent(dataEvent);
  reader = CreateThread(nullptr, 0, ReadOutput, readOut, 0, nullptr);
  if (reader == nullptr) {
    why = "no thread to read its output (" + Words(GetLastError()) + ")";
    TerminateProcess(info.hProcess, 1);
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    CloseHandle(readOut);
    return false;
  }
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  process = info.hProcess;
  pid = info.dwProcessId;
  return true;
}

Event Wait(std::uint32_t ms, std::string& chunk) {
  const DWORD begun = GetTickCount();
  for (;;) {
    if (process != nullptr) {
      EnterCriticalSection(&lock);
      chunk += shared.bytes;
      shared.bytes.clear();
      LeaveCriticalSection(&lock);
      if (!chunk.empty()) return Event::kOutput;
      if (Finished()) return Event::kEnded;
    }
    const DWORD spent = GetTickCount() - begun;
    if (spent >= ms) return Event::kTimeout;
    // The process's own end is waited on only once the pipe's has come: until then its handle,
    // signalled, would wake us again and again.
    EnterCriticalSection(&lock);
    const bool piped = !shared.ended;
    LeaveCriticalSection(&lock);
    HANDLE handles[3] = {stopEvent, dataEvent, process};
    const DWORD count = process == nullptr ? 1 : piped ? 2 : 3;
    const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, ms - spent);
    if (woke == WAIT_OBJECT_0) return Event::kStop;
    if (woke == WAIT_TIMEOUT) return Event::kTimeout;
    if (woke == WAIT_FAILED) Sleep(10);  // never spin on a handle gone wrong
  }
}

long EndedCode() {
  return static_cast<long>(static_cast<LONG>(endCode));
}

std::string EndedHow() {
  const LONG code = static_cast<LONG>(endCode);
  if (code >= -1 && code <= 255) return "exit code " + std::to_string(code);
  char text[32];
  std::snprintf(text, sizeof text, "exit code 0x%08lX", static_cast<unsigned long>(endCode));
  return text;  // an exception's code: the bridge crashed
}

void EndBridge() {
  if (process != nullptr) TerminateProcess(process, 1);
}

PortIdentity IdentifyPort(std::uint32_t port, bool held) {
  const std::string name = "COM" + std::to_string(port);
  char target[4096] = {};
  if (QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) {
    return PortIdentity{false, "", name};
  }
  // Windows drops the name of a pulled adapter. Wine keeps its names for good, and the link behind
  // one may lead nowhere: asked for the name's attributes it then answers ERROR_BAD_DEV_TYPE
  // (ERROR_INVALID_PARAMETER while a device is there), and looks at no line; an open would flush
  // the bridge's input. Windows opens the device for it, which a port that the bridge holds
  // refuses before its driver sees anything: asked only while the bridge holds it.
  if (held) {
    const std::string device = "\\\\.\\" + name;
    if (GetFileAttributesA(device.c_str()) == INVALID_FILE_ATTRIBUTES) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
          error == ERROR_BAD_DEV_TYPE) {
        return PortIdentity{false, "", name + " -> " + target + ", which leads to no device"};
      }
    }
  }
  return PortIdentity{true, target, name + " -> " + target};
}

}  // namespace runos
