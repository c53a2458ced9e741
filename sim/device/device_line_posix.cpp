// The simulated device's line on POSIX: a pseudo-terminal whose slave is linked as COM<n> in a
// ports folder (with an inotify watch on the slave for a peer's opens and closes), or a tty given
// by name; the signals that end the device; one poll() for everything the core waits on.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device_line.h"

namespace {

int lineFd = -1;     // the pseudo-terminal master, or the tty of --tty
int slaveHold = -1;  // our own hold on the slave: the master never hangs up between sessions
int watchFd = -1;    // inotify on the slave, for the opens and closes of a peer
int signalPipe[2] = {-1, -1};
bool controlOpen = true;
std::string slavePath;
std::string linkPath;
const LineSettings* lineSettings = nullptr;  // for plugging the line in again

// Raw 8N1 at 9600 without flow control, as the bridge sets its side. Above all no echo: what the
// device writes must never come back to it as a command.
bool MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

std::string OpenPseudoTerminal() {
  lineFd = posix_openpt(O_RDWR | O_NOCTTY);
  if (lineFd < 0) return std::string("no pseudo-terminal: ") + std::strerror(errno);
  fcntl(lineFd, F_SETFD, FD_CLOEXEC);
  fcntl(lineFd, F_SETFL, fcntl(lineFd, F_GETFL) | O_NONBLOCK);
  const char* name = grantpt(lineFd) == 0 && unlockpt(lineFd) == 0 ? ptsname(lineFd) : nullptr;
  if (name == nullptr) return std::string("pseudo-terminal not usable: ") + std::strerror(errno);
  slavePath = name;
  slaveHold = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  // Raw before anyone can open the link: an echoing slave would hand unsolicited bytes back.
  if (slaveHold < 0 || !MakeRaw(slaveHold)) {
    return "cannot set up " + slavePath + ": " + std::strerror(errno);
  }
  // Without the watch the device still works; only a peer's close is not tidied up after.
  watchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watchFd >= 0 && inotify_add_watch(watchFd, name, IN_OPEN | IN_CLOSE) < 0) {
    close(watchFd);
    watchFd = -1;
  }
  return "";
}

// Answers an error text, empty when done; `usage` tells whether the fault is the caller's.
std::string OpenTty(const std::string& path, bool& usage) {
  lineFd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (lineFd < 0) return "cannot open " + path + ": " + std::strerror(errno);
  usage = true;
  if (!isatty(lineFd)) return path + " is not a tty";
  // Two devices on one line would answer each command twice.
  if (flock(lineFd, LOCK_EX | LOCK_NB) != 0) return path + " is in use by another program";
  usage = false;
  if (!MakeRaw(lineFd)) return "cannot set up " + path + ": " + std::strerror(errno);
  slavePath = path;
  return "";
}

// Links the slave as COM<n>. A link to a live tty belongs to someone else and is left alone; one
// whose target is gone (a device that was killed outright) is replaced.
std::string PlaceLink(const LineSettings& settings) {
  struct stat folder {};
  if (stat(settings.ports.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
    return "ports folder " + settings.ports + " is not a directory";
  }
  const std::string path = settings.ports + "/COM" + std::to_string(settings.com);
  struct stat entry {};
  struct stat target {};
  struct stat ours {};
  if (lstat(path.c_str(), &entry) == 0) {
    if (!S_ISLNK(entry.st_mode)) return path + " exists and is not a symbolic link";
    // Our own slave may carry the name a killed device's link still points at.
    const bool live = stat(path.c_str(), &target) == 0 && S_ISCHR(target.st_mode) &&
                      !(stat(slavePath.c_str(), &ours) == 0 && ours.st_rdev == target.st_rdev);
    char old[4096] = {};
    const ssize_t length = readlink(path.c_str(), old, sizeof old - 1);
    const std::string oldTarget(old, length > 0 ? static_cast<std::size_t>(length) : 0);
    if (live) return path + " links to " + oldTarget + ", a live tty: is another device running?";
    if (unlink(path.c_str()) != 0) return "cannot remove the stale link " + path;
    std::printf("replaced stale link %s -> %s\n", path.c_str(), oldTarget.c_str());
  }
  if (symlink(slavePath.c_str(), path.c_str()) != 0) {
    return "cannot link " + path + ": " + std::strerror(errno);
  }
  linkPath = path;
  return "";
}

void RemoveLink() {
  if (linkPath.empty()) return;
  char target[4096] = {};
  const ssize_t length = readlink(linkPath.c_str(), target, sizeof target - 1);
  // Only while it is still ours: someone may have put another link in its place.
  if (length > 0 && slavePath == std::string(target, static_cast<std::size_t>(length))) {
    unlink(linkPath.c_str());
  }
  linkPath.clear();
}

void CloseAll() {
  for (int* fd : {&lineFd, &slaveHold, &watchFd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void OnSignal(int number) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(number);
  if (write(signalPipe[1], &byte, 1) < 0) {
    // The pipe is full of earlier signals, which end the device all the same.
  }
  errno = saved;
}

bool CatchSignals() {
  if (pipe2(signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (const int number : {SIGINT, SIGTERM, SIGHUP}) sigaction(number, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);  // a harness that stops reading the log must not kill the device
  return true;
}

const char* SignalName(int number) {
  return number == SIGINT ? "SIGINT" : number == SIGTERM ? "SIGTERM" : "SIGHUP";
}

// Holding the slave ourselves keeps the pseudo-terminal alive between sessions, but it also keeps
// what a real port forgets at its last close: the exclusive mode the bridge sets (which would
// refuse the bridge's next start, unless it runs as root) and the input nobody read. Both are
// dropped when a peer closes, as a real port would drop them.
void WatchPeers() {
  alignas(inotify_event) char events[4096];
  const ssize_t length = read(watchFd, events, sizeof events);
  for (ssize_t at = 0; at < length;) {
    const inotify_event* event = reinterpret_cast<const inotify_event*>(events + at);
    if ((event->mask & IN_OPEN) != 0) Log("-- line opened");
    if ((event->mask & IN_CLOSE) != 0) {
      ioctl(slaveHold, TIOCNXCL);
      tcflush(slaveHold, TCIFLUSH);
      Log("-- line closed");
    }
    at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
  }
}

}  // namespace

const char* LineHelpIntro() {
  return "A simulated serial device for okvbridge: answers \"P\\n\" and \"R\\n\" on a "
         "pseudo-terminal\n"
         "linked as COM<n> in a ports folder, or on an existing tty.\n";
}

const char* LineHelpOptions() {
  return "  --ports DIR        ports folder for the link (default: $OKVBRIDGE_PORTS)\n"
         "  --com N            link name COM<N> (default 4)\n"
         "  --tty PATH         play the device on this tty (raw 9600 8N1), no pseudo-terminal, no "
         "link\n"
         "  (--port COM<N> is the Windows build's: there the device plays on a COM port)\n";
}

const char* LineHelpPlug() {
  return "  unplug             close the pseudo-terminal and remove the link, as a USB adapter\n"
         "                     pulled out; replies not yet sent are lost\n"
         "  plug               a new pseudo-terminal linked under the same name, as the adapter\n"
         "                     plugged in again\n";
}

const char* LineHelpEnding() {
  return "The log on stdout: \"ready COM<N> -> SLAVE\" (or \"ready PATH\") once the line is up, "
         "then\n"
         "time-stamped lines: \"<- P\", \"-> \\\"Turning On\\\" (10 bytes)\", \"ok delay 300\", "
         "...\n"
         "Ends on quit, SIGINT, SIGTERM or SIGHUP with exit code 0, removing its link; exit code "
         "2\n"
         "for a bad option or a link that another live device holds, 1 when the line cannot be "
         "set up.\n";
}

std::string LineCheck(LineSettings& settings) {
  if (!settings.port.empty()) {
    return "--port is for the Windows build; here give --com N (with --ports DIR) or --tty PATH";
  }
  if (!settings.portsGiven) {
    if (const char* folder = std::getenv("OKVBRIDGE_PORTS")) settings.ports = folder;
  }
  if (settings.tty.empty() && settings.ports.empty()) {
    return "no ports folder: give --ports DIR or set OKVBRIDGE_PORTS";
  }
  return "";
}

std::string LineStart(const LineSettings& settings, bool& usage) {
  lineSettings = &settings;
  if (!CatchSignals()) return std::string("no signal pipe: ") + std::strerror(errno);
  const bool linked = settings.tty.empty();
  std::string error = linked ? OpenPseudoTerminal() : OpenTty(settings.tty, usage);
  if (error.empty() && linked) {
    usage = true;
    error = PlaceLink(settings);
  }
  if (!error.empty()) return error;
  if (linked) {
    std::printf("slave %s\nlink %s -> %s\nready COM%lu -> %s\n", slavePath.c_str(),
                linkPath.c_str(), slavePath.c_str(), settings.com, slavePath.c_str());
  } else {
    std::printf("ready %s\n", slavePath.c_str());
  }
  std::fflush(stdout);
  return "";
}

void LineStop() {
  RemoveLink();
}

bool LinePlugged() {
  return lineFd >= 0;
}

long LineWrite(const char* data, std::size_t size, std::string& error) {
  for (;;) {
    const ssize_t written = write(lineFd, data, size);
    if (written >= 0) return static_cast<long>(written);
    if (errno == EINTR) continue;
    if (errno == EAGAIN) return 0;
    error = std::strerror(errno);
    return -1;
  }
}

// A pulled USB adapter: the far end of every open descriptor hangs up for good and the name goes
// away.
std::string LineUnplug(std::string& name) {
  if (lineSettings == nullptr || !lineSettings->tty.empty()) {
    return "unplug needs a pseudo-terminal";
  }
  if (lineFd < 0) return "the line is unplugged already";
  RemoveLink();
  close(lineFd);  // the master first: the peers' descriptors hang up now
  lineFd = -1;
  CloseAll();
  name = slavePath;
  return "";
}

// The adapter back in: a new pseudo-terminal under the old name. A bridge still holding the old
// one must open the name again to reach it, as with a real adapter.
std::string LinePlug() {
  if (lineSettings == nullptr || !lineSettings->tty.empty()) return "plug needs a pseudo-terminal";
  if (lineFd >= 0) return "the line is plugged in already";
  std::string error = OpenPseudoTerminal();
  if (error.empty()) error = PlaceLink(*lineSettings);
  if (!error.empty()) {
    CloseAll();
    return error;
  }
  Log("-- plugged in: %s -> %s", linkPath.c_str(), slavePath.c_str());
  return "";
}

bool LineWait(int timeoutMs, bool listen, bool wantRoom, std::vector<LineEvent>& events,
              std::string& error) {
  pollfd fds[4] = {{signalPipe[0], POLLIN, 0}, {-1, 0, 0}, {-1, POLLIN, 0}, {watchFd, POLLIN, 0}};
  if (listen) {
    fds[1].fd = lineFd;
    fds[1].events = static_cast<short>(POLLIN | (wantRoom ? POLLOUT : 0));
  }
  if (controlOpen) fds[2].fd = STDIN_FILENO;
  if (poll(fds, 4, timeoutMs) < 0) {
    if (errno == EINTR) return true;
    error = std::string("poll failed: ") + std::strerror(errno);
    return false;
  }
  if ((fds[0].revents & POLLIN) != 0) {
    unsigned char number = 0;
    if (read(signalPipe[0], &number, 1) == 1) {
      events.push_back({LineEvent::kInterrupt, SignalName(number)});
      return true;
    }
  }
  if ((fds[3].revents & POLLIN) != 0) WatchPeers();  // first, so the log keeps the order
  if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
    char data[4096];
    const ssize_t length = read(lineFd, data, sizeof data);
    if (length > 0) {
      events.push_back({LineEvent::kBytes, std::string(data, static_cast<std::size_t>(length))});
    } else if (length == 0 || (errno != EAGAIN && errno != EINTR)) {
      events.push_back({LineEvent::kHungUp, ""});
    }
  }
  if ((fds[1].revents & POLLOUT) != 0) events.push_back({LineEvent::kRoom, ""});
  if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
    char buffer[4096];
    const ssize_t length =
        (fds[2].revents & POLLNVAL) != 0 ? 0 : read(STDIN_FILENO, buffer, sizeof buffer);
    if (length > 0) {
      events.push_back({LineEvent::kInput, std::string(buffer, static_cast<std::size_t>(length))});
    } else if (length == 0 || (errno != EINTR && errno != EAGAIN)) {
      controlOpen = false;
      events.push_back({LineEvent::kInputEnd, ""});
    }
  }
  return true;
}

void LineWallClock(int& hour, int& minute, int& second, int& millisecond) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  hour = local.tm_hour;
  minute = local.tm_min;
  second = local.tm_sec;
  millisecond = static_cast<int>(now.tv_nsec / 1000000);
}
