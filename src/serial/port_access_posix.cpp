// The serial port on POSIX: COM<n> resolved to a tty, raw 9600 8N1 termios without flow control,
// exclusive like a Windows COM port, and a receive watcher thread that sleeps in epoll. The names
// tried and the order of an opening are port_access.cpp's.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "port_os.h"
#include "serial/port_access.h"
#include "serial/port_diagnostics.h"

namespace {

// Real-time, but below the kernel's own per-CPU threads; the watcher only ever sleeps.
constexpr int kWatcherPriority = 50;
constexpr int kWriteWaitMs = 1000;

int portFd = -1;
int stopFd = -1;   // eventfd that releases the watcher's wait
int epollFd = -1;  // the watcher's wait set: the port and stopFd
pthread_t watcher{};
bool watcherStarted = false;

// The line as okvbridge-check found it, when it asked for it to be kept.
bool haveSavedSettings = false;
termios savedSettings{};
bool haveSavedLines = false;
int savedLines = 0;
bool wasExclusive = false;

using portos::NoteFailure;

// Maps a Windows device name, "COM<n>" or "\\.\COM<n>", to a path: COM<n> in the folder named by
// OKVBRIDGE_PORTS when that is a directory, else the n-th built-in UART, /dev/ttyS<n-1>.
bool ResolvePortName(const char* name, char* path, std::size_t size) {
  if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
  if (std::strncmp(name, "COM", 3) != 0) return false;
  char* end = nullptr;
  const unsigned long number = std::strtoul(name + 3, &end, 10);
  if (end == name + 3 || *end != '\0') return false;

  const char* folder = std::getenv("OKVBRIDGE_PORTS");
  struct stat info {};
  int length = 0;
  if (folder != nullptr && *folder != '\0' && stat(folder, &info) == 0 && S_ISDIR(info.st_mode)) {
    length = std::snprintf(path, size, "%s/COM%lu", folder, number);
  } else {
    if (number == 0) return false;  // COM1 is ttyS0: there is no COM0
    length = std::snprintf(path, size, "/dev/ttyS%lu", number - 1);
  }
  return length > 0 && static_cast<std::size_t>(length) < size;
}

void SaveLine(int fd) {
  haveSavedSettings = tcgetattr(fd, &savedSettings) == 0;
  haveSavedLines = ioctl(fd, TIOCMGET, &savedLines) == 0;  // pseudo-terminals have none
  int exclusive = 0;
  wasExclusive = ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

// True when /proc/locks lists a whole-file lock on the device at `path` (by device number and
// inode, as the kernel keys it). Merely opening a tty raises its DTR and RTS and root passes
// TIOCEXCL, so a line another program holds is found here and left alone, where opening it to try
// the lock would already have disturbed that program's device. Without /proc, the lock taken
// after the open still keeps us out.
bool LockedByAnother(const char* path) {
  struct stat device {};
  if (stat(path, &device) != 0) return false;
  FILE* locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return false;
  bool locked = false;
  char line[256];
  while (!locked && std::fgets(line, sizeof line, locks) != nullptr) {
    // "1: FLOCK  ADVISORY  WRITE 2345 00:05:87 0 EOF"; a blocked waiter's line has "->" in it.
    char kind[16];
    unsigned major = 0;
    unsigned minor = 0;
    unsigned long inode = 0;
    if (std::sscanf(line, "%*d: %15s %*s %*s %*d %x:%x:%lu", kind, &major, &minor, &inode) == 4 &&
        std::strcmp(kind, "FLOCK") == 0 && makedev(major, minor) == device.st_dev &&
        inode == device.st_ino) {
      locked = true;
    }
  }
  std::fclose(locks);
  return locked;
}

// Opens one device name for reading and writing, for this process alone. Answers the descriptor
// or -1, holding nothing on failure.
int OpenTty(const char* name) {
  char path[sizeof PortOpening::device];
  if (!ResolvePortName(name, path, sizeof path)) {
    NoteFailure(PortStep::kName, 0);
    return -1;
  }
  portos::NoteDevice(path);
  if (LockedByAnother(path)) {
    NoteFailure(PortStep::kLock, EWOULDBLOCK);
    return -1;
  }
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    NoteFailure(PortStep::kOpen, errno);
    return -1;
  }
  // The lock comes first: a program that already holds the line (it took the lock, as serial
  // programs do) makes us fail here without our touching its line. Only once the lock is ours is
  // TIOCEXCL set, to refuse later opens by programs that take no lock (root passes it).
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    NoteFailure(PortStep::kLock, errno);
    close(fd);
    return -1;
  }
  if (portos::KeepingLine()) SaveLine(fd);
  ioctl(fd, TIOCEXCL);
  return fd;
}

// DTR and RTS held off, as on Windows; pseudo-terminals have no such lines and refuse, which is
// fine.
void LowerModemLines(int fd) {
  int lines = TIOCM_DTR | TIOCM_RTS;
  ioctl(fd, TIOCMBIC, &lines);
}

bool ApplyLineSettings(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8;
  tio.c_cflag |= CLOCAL | CREAD;                 // no modem control lines, receiver on
  tio.c_cflag &= ~static_cast<tcflag_t>(HUPCL);  // closing must not drop the line
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);  // 0x11 and 0x13 are data
  tio.c_cc[VMIN] = 0;  // reads hand back what is waiting at once
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, B9600) != 0 || cfsetospeed(&tio, B9600) != 0) return false;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return false;
  LowerModemLines(fd);
  return true;
}

void WatchPort() {
  for (;;) {
    epoll_event events[2];
    const int ready = epoll_wait(epollFd, events, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;  // the wait set is broken: end rather than spin; nothing depends on the watcher
    }
    for (int i = 0; i < ready; ++i) {
      if (events[i].data.fd == stopFd) return;
      if ((events[i].events & (EPOLLHUP | EPOLLERR)) != 0) {
        // A closed pseudo-terminal or a pulled USB adapter reports hang-up for ever: stop
        // watching the port, and sleep until released.
        epoll_ctl(epollFd, EPOLL_CTL_DEL, portFd, nullptr);
      } else {
        // Bytes arrived. The watcher only looks at how many wait, as the Windows watcher reads the
        // port's status on a character-received event, and throws the count away: FIONREAD
        // neither reads nor changes anything, and the bridge asks for the count itself when it
        // polls. Nothing has to be drained either: edge-triggered epoll reports the next arrival
        // whether or not these bytes have been read.
        int waiting = 0;
        ioctl(portFd, FIONREAD, &waiting);
      }
    }
  }
}

// Notes that the watcher could not be started, for `error`; answers false.
bool WatcherFailed(int error) {
  NoteFailure(PortStep::kWatcher, error);
  return false;
}

// Sets up the wait set and starts the watcher; false, with the failure noted, when it cannot be
// started.
bool StartWatcher() {
  stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopFd < 0) return WatcherFailed(errno);
  epollFd = epoll_create1(EPOLL_CLOEXEC);
  if (epollFd < 0) return WatcherFailed(errno);
  // Edge-triggered: one wake-up per arrival, none while bytes wait unread.
  epoll_event portEvent{};
  portEvent.events = EPOLLIN | EPOLLET;
  portEvent.data.fd = portFd;
  epoll_event stopEvent{};
  stopEvent.events = EPOLLIN;
  stopEvent.data.fd = stopFd;
  if (epoll_ctl(epollFd, EPOLL_CTL_ADD, portFd, &portEvent) != 0 ||
      epoll_ctl(epollFd, EPOLL_CTL_ADD, stopFd, &stopEvent) != 0) {
    return WatcherFailed(errno);
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  const int created = pthread_create(
      &watcher, &attributes,
      [](void*) -> void* {
        WatchPort();
        return nullptr;
      },
      nullptr);
  pthread_attr_destroy(&attributes);
  // pthread_create answers its error and leaves errno as it was (or as a failed stack mapping
  // left it).
  if (created != 0) return WatcherFailed(created);
  watcherStarted = true;
  pthread_setname_np(watcher, "okv-watcher");  // so that ps -L and top show which thread it is
  // Asked for, as the Windows watcher runs time-critical; refused without privilege, and that is
  // fine: the watcher has no deadline of its own.
  sched_param priority{};
  priority.sched_priority = kWatcherPriority;
  pthread_setschedparam(watcher, SCHED_FIFO, &priority);
  return true;
}

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

namespace portos {

bool OpenDevice(const char* name) {
  portFd = OpenTty(name);
  return portFd >= 0;
}

bool SetUpLine() {
  // The kernel's queues have a fixed size: there are no queue sizes to ask for here.
  if (!ApplyLineSettings(portFd)) {
    NoteFailure(PortStep::kSettings, errno);
    return false;
  }
  return StartWatcher();
}

}  // namespace portos

void ClosePort() {
  if (watcherStarted) {
    const std::uint64_t one = 1;
    // The watcher must be gone before the descriptor it waits on is closed and maybe reused.
    if (write(stopFd, &one, sizeof one) == static_cast<ssize_t>(sizeof one)) {
      pthread_join(watcher, nullptr);
    } else {
      pthread_cancel(watcher);
      pthread_join(watcher, nullptr);
    }
    watcherStarted = false;
  }
  CloseIfOpen(epollFd);
  CloseIfOpen(stopFd);
  CloseIfOpen(portFd);
}

void SendLine(const char command[2]) {
  if (portFd < 0) return;
  // The kernel raises DTR and RTS on every open of the tty, and root passes TIOCEXCL: a root
  // program that opened the line since our last command (stty, a modem manager's probe) has left
  // them up. Lowered again here, so that the device never sees them up while it is addressed.
  LowerModemLines(portFd);
  std::size_t sent = 0;
  while (sent < 2) {
    const ssize_t written = write(portFd, command + sent, 2 - sent);
    if (written > 0) {
      sent += static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else if (written < 0 && errno == EAGAIN) {
      // The output queue is full (a device that stopped reading): wait a bounded time for room.
      pollfd room{portFd, POLLOUT, 0};
      if (poll(&room, 1, kWriteWaitMs) <= 0) return;
    } else {
      return;  // a failed write is not reported; the wait for the reply then times out
    }
  }
  tcdrain(portFd);
}

std::uint32_t WaitingCount() {
  int waiting = 0;
  if (portFd < 0 || ioctl(portFd, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
  return static_cast<std::uint32_t>(waiting);
}

void RestoreLineSettings() {
  if (portFd < 0 || !portos::KeepingLine()) return;
  if (haveSavedSettings) tcsetattr(portFd, TCSADRAIN, &savedSettings);
  if (haveSavedLines) {
    int raise = savedLines & (TIOCM_DTR | TIOCM_RTS);
    int drop = ~savedLines & (TIOCM_DTR | TIOCM_RTS);
    ioctl(portFd, TIOCMBIS, &raise);
    ioctl(portFd, TIOCMBIC, &drop);
  }
  // The exclusive mark outlives our descriptor while another program keeps the line open (the
  // device simulator, a modem manager), and would then keep out every later opener but root.
  if (!wasExclusive) ioctl(portFd, TIOCNXCL);
  haveSavedSettings = haveSavedLines = false;
}

int ReadWaiting(char* buffer, std::uint32_t count) {
  if (WaitingCount() == 0) return -1;
  ssize_t got = 0;
  do {
    got = read(portFd, buffer, count);
  } while (got < 0 && errno == EINTR);
  return got > 0 ? 0 : -1;
}
