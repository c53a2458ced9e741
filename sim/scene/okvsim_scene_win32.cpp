// okvsim-scene: the bridge doing its whole job on Windows against the two simulators, as one
// command. It starts the simulated device on one end of a joined pair of COM ports, okvbridge on
// the other end with the simulated kolt8.dll, and plays a short scene as the application program,
// showing the bridge's console, the device's log and what the application sees in m1000 side by
// side. Every program it starts belongs to a job that ends them all when the scene ends, however it
// ends: Ctrl-C, a closed window, or the scene itself killed.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// What one started program has written so far, for the waits of the scene.
struct Output {
  std::mutex lock;
  std::condition_variable grew;
  std::string text;
  bool ended = false;
};

struct Child {
  std::string name;
  HANDLE process = nullptr;
  HANDLE input = nullptr;  // our end of its standard input, when we talk to it
  Output* output = nullptr;
  std::thread reader;
};

struct Files {
  std::string bridge, device, tool, runtimeDir;
};

HANDLE job = nullptr;
std::mutex screen;  // one line of one program at a time
bool toConsole = false;
std::string workDir;
std::vector<Child*> children;
std::mutex cleanupLock;          // held while a program is started, and while all are ended
std::atomic<bool> stopping{false};  // from the first moment of the clean-up: nothing new starts
bool interactive = false;

void Write(const std::string& bytes) {
  const std::lock_guard<std::mutex> hold(screen);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD done = 0;
  if (toConsole) {
    // The bridge writes Windows-1252 whatever the console's code page: shown as characters, its
    // accents come out right on any console.
    std::wstring wide(bytes.size(), L'\0');
    const int length = MultiByteToWideChar(1252, 0, bytes.data(), static_cast<int>(bytes.size()),
                                           &wide[0], static_cast<int>(wide.size()));
    WriteConsoleW(out, wide.data(), static_cast<DWORD>(length > 0 ? length : 0), &done, nullptr);
  } else {
    WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
  }
}

void Say(const std::string& line) { Write(line + "\n"); }

void Complain(const std::string& message) {
  // Once interrupted, the scene's own steps fail one after the other: that is no news.
  if (stopping) return;
  const std::string line = "okvsim-scene: " + message + "\n";
  const std::lock_guard<std::mutex> hold(screen);
  DWORD done = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()), &done,
            nullptr);
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Copies a program's output to the screen, each line tagged. The bridge prints each reply between
// brackets without a line feed: such a piece is shown at once on a line of its own, and what
// follows it on the same console line is tagged with "+" instead of "|".
void Relay(HANDLE pipe, std::string tag, Output* output) {
  bool open = false;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    const std::string chunk(buffer, got);
    {
      const std::lock_guard<std::mutex> hold(output->lock);
      output->text += chunk;
    }
    output->grew.notify_all();
    std::string shown;
    std::size_t at = 0;
    while (at < chunk.size()) {
      std::size_t end = chunk.find('\n', at);
      end = end == std::string::npos ? chunk.size() : end + 1;
      std::string mark = tag;
      if (open) mark.back() = '+';
      shown += mark + " " + chunk.substr(at, end - at);
      open = chunk[end - 1] != '\n';
      if (open) shown += "\n";
      at = end;
    }
    Write(shown);
  }
  CloseHandle(pipe);
  {
    const std::lock_guard<std::mutex> hold(output->lock);
    output->ended = true;
  }
  output->grew.notify_all();
}

// Starts a program with its output (both streams) relayed under `tag`, in the scene's job, with no
// console of its own: Ctrl-C is the scene's to handle, and a bridge without a console never waits
// for a key.
Child* Start(const std::string& name, const std::string& commandLine, const std::string& tag,
             bool withInput, const std::string& folder = "") {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readOut = nullptr, writeOut = nullptr, readIn = nullptr, writeIn = nullptr;
  if (!CreatePipe(&readOut, &writeOut, &inherit, 0)) return nullptr;
  SetHandleInformation(readOut, HANDLE_FLAG_INHERIT, 0);
  if (withInput) {
    if (!CreatePipe(&readIn, &writeIn, &inherit, 0)) return nullptr;
    SetHandleInformation(writeIn, HANDLE_FLAG_INHERIT, 0);
  } else {
    readIn = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         OPEN_EXISTING, 0, nullptr);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = readIn;
  startup.hStdOutput = writeOut;
  startup.hStdError = writeOut;
  PROCESS_INFORMATION info{};
  std::string line = commandLine;
  std::unique_lock<std::mutex> hold(cleanupLock);
  if (stopping) {
    CloseHandle(readOut);
    CloseHandle(writeOut);
    if (readIn != nullptr && readIn != INVALID_HANDLE_VALUE) CloseHandle(readIn);
    if (writeIn != nullptr) CloseHandle(writeIn);
    return nullptr;
  }
  // Suspended until it is in the job, so that not even its first instant is outside it.
  const BOOL started = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE,
                                      CREATE_SUSPENDED | DETACHED_PROCESS, nullptr,
                                      folder.empty() ? nullptr : folder.c_str(), &startup, &info);
  const DWORD why = GetLastError();
  CloseHandle(writeOut);
  if (readIn != nullptr && readIn != INVALID_HANDLE_VALUE) CloseHandle(readIn);
  if (!started) {
    CloseHandle(readOut);
    if (writeIn != nullptr) CloseHandle(writeIn);
    Complain("cannot start " + name + " (error " + std::to_string(why) + ")");
    return nullptr;
  }
  if (job != nullptr) AssignProcessToJobObject(job, info.hProcess);
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  Child* child = new Child;
  child->name = name;
  child->process = info.hProcess;
  child->input = writeIn;
  child->output = new Output;
  child->reader = std::thread(Relay, readOut, tag, child->output);
  children.push_back(child);
  return child;
}

// Waits up to `ms` for `text` in what the child wrote after `from`. False when it did not come, or
// the child ended without it.
bool WaitFor(Child* child, const std::string& text, int ms, std::size_t from = 0) {
  std::unique_lock<std::mutex> hold(child->output->lock);
  return child->output->grew.wait_for(hold, std::chrono::milliseconds(ms), [&] {
    return child->output->text.find(text, from) != std::string::npos || child->output->ended;
  }) && child->output->text.find(text, from) != std::string::npos;
}

std::size_t Seen(Child* child) {
  const std::lock_guard<std::mutex> hold(child->output->lock);
  return child->output->text.size();
}

// Waits for the child to end; its exit code, or -1 when it was still running after `ms`.
long Finish(Child* child, DWORD ms) {
  if (WaitForSingleObject(child->process, ms) != WAIT_OBJECT_0) return -1;
  if (child->reader.joinable()) child->reader.join();
  DWORD code = 0;
  GetExitCodeProcess(child->process, &code);
  return static_cast<long>(code);
}

// Removes a work folder and the files in it (the scene makes no folders inside).
void RemoveWorkFolder(const std::string& folder) {
  WIN32_FIND_DATAA found{};
  HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileA((folder + "\\" + found.cFileName).c_str());
      }
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  RemoveDirectoryA(folder.c_str());
}

// Ends every program of the scene and removes its work folder. Called once, from the scene's end
// or from the console's Ctrl-C handler.
void CleanUp() {
  const std::lock_guard<std::mutex> once(cleanupLock);
  stopping = true;
  for (Child* child : children) {
    if (child->input != nullptr) {
      // Asked first, so that its log ends with its own last line.
      if (WaitForSingleObject(child->process, 0) == WAIT_TIMEOUT) {
        DWORD done = 0;
        WriteFile(child->input, "quit\n", 5, &done, nullptr);
        WaitForSingleObject(child->process, 2000);
      }
      CloseHandle(child->input);
      child->input = nullptr;
    }
  }
  for (Child* child : children) {
    if (WaitForSingleObject(child->process, 0) == WAIT_TIMEOUT) TerminateProcess(child->process, 1);
    WaitForSingleObject(child->process, 5000);
  }
  for (Child* child : children) {
    if (child->reader.joinable()) child->reader.join();
    CloseHandle(child->process);
    delete child->output;
    delete child;
  }
  children.clear();
  if (!workDir.empty()) {
    RemoveWorkFolder(workDir);
    workDir.clear();
  }
}

BOOL WINAPI OnConsoleEvent(DWORD) {
  if (!stopping) Write("\n== interrupted\n");
  CleanUp();
  ExitProcess(interactive ? 0 : kExitInterrupted);
}

std::string Folder(const std::string& path) { return path.substr(0, path.find_last_of("\\/")); }

// The folder of a release ZIP (okvbridge.exe above sim\, which holds the rest), or of a build tree
// (sim\scene, sim\device and sim\runtime under the folder of okvbridge.exe).
bool FindFiles(Files& files) {
  char self[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  const std::string here = Folder(self);
  const Files layouts[] = {
      {here + "\\..\\okvbridge.exe", here + "\\okvsim-device.exe", here + "\\okvsim-runtime.exe",
       here},
      {here + "\\..\\..\\okvbridge.exe", here + "\\..\\device\\okvsim-device.exe",
       here + "\\..\\runtime\\okvsim-runtime.exe", here + "\\..\\runtime"},
  };
  for (const Files& layout : layouts) {
    if (Exists(layout.bridge) && Exists(layout.device) && Exists(layout.tool) &&
        Exists(layout.runtimeDir + "\\kolt8.dll")) {
      files = layout;
      return true;
    }
  }
  const Files& zip = layouts[0];
  std::string missing;
  for (const std::string& path :
       {zip.bridge, zip.device, zip.tool, zip.runtimeDir + "\\kolt8.dll"}) {
    if (!Exists(path)) missing += (missing.empty() ? "" : ", ") + path;
  }
  Complain("missing " + missing + ": run the scene from the sim folder of an unpacked okvbridge ZIP");
  return false;
}

// "5" or "COM5", either case; 0 when it is neither.
unsigned long PortNumber(const char* text) {
  if (_strnicmp(text, "COM", 3) == 0) text += 3;
  if (*text < '1' || *text > '9') return 0;
  char* end = nullptr;
  const unsigned long n = std::strtoul(text, &end, 10);
  return *end == '\0' && n <= 255 ? n : 0;
}

void PrintHelp() {
  std::printf(
      "usage: okvsim-scene [--bridge-port N] [--interactive] DEVICE_PORT\n"
      "       demo.cmd [--bridge-port N] [--interactive] DEVICE_PORT\n"
      "The bridge doing its whole job on this PC against the simulators. DEVICE_PORT (5 or COM5)\n"
      "is the device's end of a joined pair of COM ports (a virtual null-modem pair, or two ports\n"
      "and a null-modem cable); okvbridge opens the other end, COM4 unless --bridge-port says\n"
      "otherwise. The scene starts the simulated device there, okvbridge with the simulated\n"
      "kolt8.dll of this folder, and plays the application:\n"
      "  P answered \"Turning On\"  -> 4\n"
      "  P answered \"Sleep\"       -> 3\n"
      "  R answered \"A123\"        -> 8, l1000 = 123\n"
      "  P to a silent device     -> \"Com timeout\", 5\n"
      "It ends by itself in well under a minute, exit code 0 when the application saw all that,\n"
      "1 when it did not or a program would not start, 2 for bad usage, 130 when interrupted. It\n"
      "leaves no program running and no file behind, also on Ctrl-C.\n"
      "\n"
      "  --bridge-port N  the bridge's end of the pair (default 4)\n"
      "  --interactive    start everything, skip the scene, print how to send requests by hand,\n"
      "                   pass the lines typed here to the device as its commands, and keep\n"
      "                   running until Ctrl-C or \"quit\"\n"
      "  --version        the package's version\n"
      "  --help           this text\n");
}

// Whether a line of `text` ends with `tail` (lines end in CR LF or LF).
bool HasLineEnding(const std::string& text, const std::string& tail) {
  for (std::size_t at = text.find(tail); at != std::string::npos; at = text.find(tail, at + 1)) {
    const std::size_t after = at + tail.size();
    if (after == text.size() || text[after] == '\r' || text[after] == '\n') return true;
  }
  return false;
}

// One request as the application: the control tool writes the code into m1000 and prints every
// code it sees there, with the time since the request.
bool Request(const Files& files, char kind, const std::string& expect, const std::string& also) {
  Say(std::string("== application: request ") + static_cast<char>(kind - 'a' + 'A') +
      " (writes " + (kind == 'p' ? "1" : "6") + " into m1000)");
  Child* tool = Start("okvsim-runtime",
                      Quoted(files.tool) + " request " + std::string(1, kind) + " --timeout 15",
                      "  app    |", false);
  if (tool == nullptr) return false;
  const long code = Finish(tool, 20000);
  std::string seen;
  {
    const std::lock_guard<std::mutex> hold(tool->output->lock);
    seen = tool->output->text;
  }
  if (code != 0 || !HasLineEnding(seen, "m1000 = " + expect) ||
      (!also.empty() && !HasLineEnding(seen, also))) {
    Complain("expected m1000 = " + expect + (also.empty() ? "" : " and " + also));
    return false;
  }
  // Clearing the result is the application's part.
  Child* clear = Start("okvsim-runtime", Quoted(files.tool) + " set m1000 0", "  app    |", false);
  return clear != nullptr && Finish(clear, 10000) == 0;
}

bool DeviceSays(Child* device, const std::string& command) {
  const std::size_t from = Seen(device);
  const std::string line = command + "\n";
  DWORD done = 0;
  WriteFile(device->input, line.data(), static_cast<DWORD>(line.size()), &done, nullptr);
  if (WaitFor(device, "ok " + command, 5000, from)) return true;
  Complain("the device did not take \"" + command + "\"");
  return false;
}

bool Tool(const Files& files, const std::string& arguments) {
  Child* tool = Start("okvsim-runtime", Quoted(files.tool) + " " + arguments, "  setup  |", false);
  if (tool != nullptr && Finish(tool, 10000) == 0) return true;
  Complain("okvsim-runtime " + arguments + " failed");
  return false;
}

// Lines typed at the scene's console go to the device, until "quit" or the end of input.
void PassTypedLines(Child* device) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  std::string pending;
  char buffer[1024];
  DWORD got = 0;
  while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    pending.append(buffer, got);
    std::size_t end = 0;
    while ((end = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line == "quit") return;
      line += "\n";
      DWORD done = 0;
      WriteFile(device->input, line.data(), static_cast<DWORD>(line.size()), &done, nullptr);
    }
  }
  // No more input (none was given): wait for Ctrl-C.
  Sleep(INFINITE);
}

int Play(const Files& files, unsigned long devicePort, unsigned long bridgePort) {
  const std::string com = "COM" + std::to_string(devicePort);
  const std::string bridgeCom = "COM" + std::to_string(bridgePort);
  Child* device = Start("okvsim-device", Quoted(files.device) + " --port " + com, "  device |", true);
  if (device == nullptr) return kExitFailed;
  if (!WaitFor(device, "ready " + com, 10000)) {
    Complain("the simulated device did not start on " + com +
             " (its own words are above): give the number of the device's end of a joined pair");
    return kExitFailed;
  }
  if (!Tool(files, "reset") || !Tool(files, "executor on") || !Tool(files, "set m1000 0")) {
    return kExitFailed;
  }
  Say("== okvbridge on " + bridgeCom + ", the simulated device on " + com +
      ", the simulated runtime (work folder " + workDir + ")");
  Child* bridge = Start("okvbridge", Quoted(files.bridge) + " " + std::to_string(bridgePort),
                        "  bridge |", false, files.runtimeDir);
  if (bridge == nullptr) return kExitFailed;
  if (!WaitFor(bridge, "Executeur installe", 15000)) {
    Complain("okvbridge did not get going on " + bridgeCom + " within 15 s: is " + bridgeCom +
             " the other end of " + com + "? (okvbridge-check " + std::to_string(bridgePort) +
             " tells why a port fails)");
    return kExitFailed;
  }
  if (interactive) {
    Say("\n== Everything is running. In another command prompt, send requests by hand:\n"
        "     set KOLT8_SIM_STATE=" + workDir + "\\runtime.state\n"
        "     " + Quoted(files.tool) + " request p          & rem P: 4 while the device answers \"Turning On\"\n"
        "     " + Quoted(files.tool) + " request r          & rem R: 8 and l1000 = 123\n"
        "     " + Quoted(files.tool) + " watch m1000 l1000  & rem every change, time-stamped\n"
        "     " + Quoted(files.tool) + " executor off       & rem and on again; see also: fault --help\n"
        "   Change the device's replies by typing its commands here, one a line:\n"
        "     p Sleep      (also: r TEXT, silent on|off, delay MS, split N MS, unplug, plug)\n"
        "   Ctrl-C or \"quit\" here stops everything and cleans up.\n");
    PassTypedLines(device);
    return 0;
  }
  if (!Request(files, 'p', "4", "") || !DeviceSays(device, "p Sleep") ||
      !Request(files, 'p', "3", "") || !Request(files, 'r', "8", "l1000 = 123") ||
      !DeviceSays(device, "silent on") || !Request(files, 'p', "5", "")) {
    return kExitFailed;
  }
  if (!WaitFor(bridge, "Com timeout", 2000)) {
    Complain("okvbridge did not print \"Com timeout\"");
    return kExitFailed;
  }
  Sleep(300);  // lets the last console and device lines reach the screen
  Say("\n== scene complete: 4, 3, 8 with l1000 = 123, then 5 after \"Com timeout\"");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long devicePort = 0, bridgePort = 4;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h" || arg == "/?") {
      PrintHelp();
      return 0;
    }
    if (arg == "--version") {
      std::printf("okvsim-scene %s\n", OKV_VERSION);
      std::fflush(stdout);
      return 0;
    }
    if (arg == "--interactive") {
      interactive = true;
    } else if (arg == "--bridge-port" && i + 1 < argc) {
      bridgePort = PortNumber(argv[++i]);
      if (bridgePort == 0) {
        Complain(std::string("--bridge-port: '") + argv[i] + "' is not a COM port number (see --help)");
        return kExitUsage;
      }
    } else if (devicePort == 0 && arg.rfind("--", 0) != 0) {
      devicePort = PortNumber(argv[i]);
      if (devicePort == 0) {
        Complain("'" + arg + "' is not a COM port number, such as 5 or COM5 (see --help)");
        return kExitUsage;
      }
    } else {
      Complain("unexpected argument '" + arg + "' (see --help)");
      return kExitUsage;
    }
  }
  if (devicePort == 0) {
    Complain("give the device's COM port, the other end of the bridge's COM" +
             std::to_string(bridgePort) + " (see --help)");
    return kExitUsage;
  }
  if (devicePort == bridgePort) {
    Complain("the device and the bridge need the two ends of a pair, not both COM" +
             std::to_string(devicePort));
    return kExitUsage;
  }
  Files files;
  if (!FindFiles(files)) return kExitFailed;

  DWORD mode = 0;
  toConsole = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
  // Every program of the scene ends with the scene's last handle on this job, which the system
  // closes even when the scene is killed.
  job = CreateJobObjectA(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (job == nullptr || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                                 sizeof limits)) {
    Complain("no job object: programs would outlive a killed scene; going on without");
    job = nullptr;
  }
  char temp[MAX_PATH] = {};
  GetTempPathA(MAX_PATH, temp);
  workDir = std::string(temp) + "okvbridge-demo-" + std::to_string(GetCurrentProcessId());
  // A folder of that name was left by a scene that was killed: no running process has our number,
  // so it is nobody's any more, and is cleared for this one.
  bool made = CreateDirectoryA(workDir.c_str(), nullptr) != 0;
  if (!made && GetLastError() == ERROR_ALREADY_EXISTS) {
    RemoveWorkFolder(workDir);
    made = CreateDirectoryA(workDir.c_str(), nullptr) != 0;
  }
  if (!made) {
    Complain("cannot make the work folder " + workDir);
    return kExitFailed;
  }
  // The scene's own runtime state, and the simulated kolt8.dll found before any other.
  SetEnvironmentVariableA("KOLT8_SIM_STATE", (workDir + "\\runtime.state").c_str());
  char path[32767] = {};
  GetEnvironmentVariableA("PATH", path, sizeof path);
  SetEnvironmentVariableA("PATH", (files.runtimeDir + ";" + path).c_str());
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);

  const int code = Play(files, devicePort, bridgePort);
  // An interrupt that came meanwhile ends the scene from its handler, with its own exit code.
  if (stopping) Sleep(INFINITE);
  SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  CleanUp();
  return code;
}
