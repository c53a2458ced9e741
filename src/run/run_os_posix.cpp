// okvbridge-run on POSIX: the bridge as a child in a process group of its own that dies with us
// (PR_SET_PDEATHSIG), its output on a pipe read with poll, signals turned into a stop request
// through a self-pipe, the port resolved as the bridge resolves it, and the one-per-port lock as
// an abstract socket, which the system releases whatever way we end.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "run/run_os.h"

namespace runos {

namespace {

int stopPipe[2] = {-1, -1};  // written by the signal handler
pid_t child = -1;
int output = -1;  // the read end of the bridge's output pipe, -1 once at its end
bool outputEnded = false;
int endStatus = 0;

void OnStopSignal(int) {
  const int saved = errno;
  const char byte = 's';
  if (write(stopPipe[1], &byte, 1) < 0) {
    // The pipe is full: a stop request is already waiting there.
  }
  errno = saved;
}

// The file the bridge opens for COM<n>: $OKVBRIDGE_PORTS/COM<n> when that names a folder, else
// /dev/ttyS<n-1> (COM0 has none).
std::string PortPath(std::uint32_t port) {
  const char* folder = std::getenv("OKVBRIDGE_PORTS");
  struct stat info {};
  if (folder != nullptr && *folder != '\0' && stat(folder, &info) == 0 && S_ISDIR(info.st_mode)) {
    char full[PATH_MAX];
    const std::string base = realpath(folder, full) != nullptr ? full : folder;
    return base + "/COM" + std::to_string(port);
  }
  return port == 0 ? "" : "/dev/ttyS" + std::to_string(port - 1);
}

bool StopRequested() {
  char bytes[16];
  bool any = false;
  while (read(stopPipe[0], bytes, sizeof bytes) > 0) any = true;
  return any;
}

// In the child, between fork and exec: only async-signal-safe calls. Reports a failure's errno on
// `status` and ends.
[[noreturn]] void BecomeBridge(const std::string& exe, const std::string& port,
                               const std::string& folder, int out, int status, pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != parent) _exit(127);  // we ended before the line above took effect
  setpgid(0, 0);  // Ctrl-C in our terminal is ours to handle, not the bridge's
  signal(SIGPIPE, SIG_DFL);
  const int empty = open("/dev/null", O_RDONLY);
  if (empty < 0 || dup2(empty, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 ||
      (!folder.empty() && chdir(folder.c_str()) != 0)) {
    const int error = errno;
    if (write(status, &error, sizeof error) < 0) _exit(127);
    _exit(127);
  }
  char* const args[] = {const_cast<char*>(exe.c_str()), const_cast<char*>(port.c_str()), nullptr};
  execv(exe.c_str(), args);
  const int error = errno;
  if (write(status, &error, sizeof error) < 0) _exit(127);
  _exit(127);
}

}  // namespace

std::string ProgramPath() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "okvbridge-run";
  path[length] = '\0';
  return path;
}

std::string ProgramFolder() {
  const std::string path = ProgramPath();
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

const char* BridgeFileName() {
  return "okvbridge";
}

std::string DefaultLogPath() {
  return "";  // a service manager's journal takes standard output
}

const char* LineEnd() {
  return "\n";
}

const char* LogFileMode() {
  return "abe";  // e: close-on-exec
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string LocalStamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(now.tv_nsec / 1000000 % 1000));
  return text;
}

bool TakePortLock(std::uint32_t port, std::string& why) {
  const std::string path = PortPath(port);
  const int lock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (lock < 0) return true;  // no lock to be had: better a second supervisor than none
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // An abstract name: no file to leave behind or to be refused, gone with the process.
  const std::string name = "okvbridge-run " + path;
  const std::size_t length =
      name.size() < sizeof address.sun_path - 1 ? name.size() : sizeof address.sun_path - 1;
  std::memcpy(address.sun_path + 1, name.data(), length);
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
  if (bind(lock, reinterpret_cast<const sockaddr*>(&address), size) == 0) return true;
  why = "another okvbridge-run already serves COM" + std::to_string(port) + " (" + path + ")";
  close(lock);
  return errno != EADDRINUSE;
}

void CatchStopRequests() {
  if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (const int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
  // A console that went away must not end us: the log goes on in its file.
  signal(SIGPIPE, SIG_IGN);
}

void PrepareConsole() {}

void StopDone() {}

bool StartBridge(const std::string& exe, std::uint32_t port, const std::string& folder,
                 unsigned long& pid, std::string& why) {
  int out[2], status[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    why = std::string("no pipe (") + std::strerror(errno) + ")";
    return false;
  }
  if (pipe2(status, O_CLOEXEC) != 0) {
    why = std::string("no pipe (") + std::strerror(errno) + ")";
    close(out[0]);
    close(out[1]);
    return false;
  }
  const std::string number = std::to_string(port);
  const pid_t parent = getpid();
  const pid_t started = fork();
  if (started == 0) BecomeBridge(exe, number, folder, out[1], status[1], parent);
  close(out[1]);
  close(status[1]);
  int error = 0;
  const bool failed = started < 0 || read(status[0], &error, sizeof error) == sizeof error;
  close(status[0]);
  if (failed) {
    why = exe + " did not start (" + std::strerror(started < 0 ? errno : error) + ")";
    close(out[0]);
    if (started > 0) waitpid(started, nullptr, 0);
    return false;
  }
  child = started;
  output = out[0];
  outputEnded = false;
  pid = static_cast<unsigned long>(started);
  return true;
}

Event Wait(std::uint32_t ms, std::string& chunk) {
  pollfd watched[2] = {{stopPipe[0], POLLIN, 0}, {output, POLLIN, 0}};
  const nfds_t count = child > 0 && !outputEnded ? 2 : 1;
  // With the output at its end, the bridge's exit is looked for every few milliseconds.
  const bool reaping = child > 0 && outputEnded;
  int timeout = static_cast<int>(ms > INT_MAX ? INT_MAX : ms);
  if (reaping && timeout > 20) timeout = 20;
  const int ready = poll(watched, count, timeout);
  if (ready > 0 && (watched[0].revents & POLLIN) != 0 && StopRequested()) return Event::kStop;
  if (ready > 0 && count == 2 && watched[1].revents != 0) {
    char bytes[65536];
    const ssize_t got = read(output, bytes, sizeof bytes);
    if (got > 0) {
      chunk.append(bytes, static_cast<std::size_t>(got));
      return Event::kOutput;
    }
    if (got < 0 && errno == EINTR) return Event::kTimeout;
    close(output);
    output = -1;
    outputEnded = true;
  }
  if (child > 0 && outputEnded && waitpid(child, &endStatus, WNOHANG) == child) {
    child = -1;
    return Event::kEnded;
  }
  return Event::kTimeout;
}

long EndedCode() {
  if (WIFEXITED(endStatus)) {
    const int code = WEXITSTATUS(endStatus);
    return code == 255 ? -1 : code;  // the bridge's exit(-1)
  }
  return WIFSIGNALED(endStatus) ? 128 + WTERMSIG(endStatus) : -1;
}

std::string EndedHow() {
  if (WIFSIGNALED(endStatus)) {
    return "killed by signal " + std::to_string(WTERMSIG(endStatus)) + " (" +
           strsignal(WTERMSIG(endStatus)) + ")";
  }
  const int code = WEXITSTATUS(endStatus);
  return "exit code " + std::to_string(code) + (code == 255 ? " (-1)" : "");
}

void EndBridge() {
  if (child > 0) kill(child, SIGKILL);
}

PortIdentity IdentifyPort(std::uint32_t port, bool) {
  const std::string path = PortPath(port);
  struct stat info {};
  if (path.empty() || stat(path.c_str(), &info) != 0) {
    return PortIdentity{false, "", path.empty() ? "no device name" : path};
  }
  char target[PATH_MAX];
  const std::string resolved = realpath(path.c_str(), target) != nullptr ? target : path;
  // A new pseudo-terminal or a re-created device node has another device number or inode, even
  // under the same name.
  const std::string key = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
                          std::to_string(info.st_rdev);
  return PortIdentity{true, key, resolved == path ? path : path + " -> " + resolved};
}

}  // namespace runos
