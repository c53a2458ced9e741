// Port access on real pseudo-terminals: the test holds the master side and plays the device, the
// bridge opens the slave through a COM<n> link in a ports folder of its own.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "serial/port_access.h"

// Every open() of the process passes here first (the binary is linked with --wrap=open), so that
// the tests can count the bridge's attempts on a device name.
extern "C" int __real_open(const char* path, int flags, ...);
std::vector<std::string> openedPaths;
extern "C" int __wrap_open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  openedPaths.emplace_back(path);
  return __real_open(path, flags, mode);
}

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = 5s;

// Waits for `condition` until the deadline; the pseudo-terminal moves bytes on its own schedule.
template <typename Condition>
bool Eventually(Condition condition) {
  const auto end = Clock::now() + kDeadline;
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

int CountEntries(const char* folder) {
  DIR* dir = opendir(folder);
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

int OpenDescriptors() {
  return CountEntries("/proc/self/fd");
}
// Watcher threads of this process, found by the name the port gives them; sanitizer runtimes start
// threads of their own, so a plain count would not do.
int Threads() {
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name) && name == "okv-watcher") ++count;
  }
  closedir(dir);
  return count;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU time the whole process burns while this thread sleeps for a while: near zero unless
// another thread spins.
double CpuWhileIdle() {
  const double before = CpuSeconds();
  std::this_thread::sleep_for(300ms);
  return CpuSeconds() - before;
}

class PortAccess : public testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master_, 0) << std::strerror(errno);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    slave_ = ptsname(master_);
    char folder[] = "/tmp/okvports.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    setenv("OKVBRIDGE_PORTS", folder_.c_str(), 1);
    baselineDescriptors_ = OpenDescriptors();
  }

  void TearDown() override {
    ClosePort();
    CloseMaster();
    for (const std::string& link : links_) unlink(link.c_str());
    rmdir(folder_.c_str());
  }

  std::string Path(std::uint32_t port) const { return folder_ + "/COM" + std::to_string(port); }

  // COM<port> in the ports folder, leading to the pseudo-terminal (or to `target`).
  void Link(std::uint32_t port, const std::string& target = "") {
    const std::string path = Path(port);
    ASSERT_EQ(symlink((target.empty() ? slave_ : target).c_str(), path.c_str()), 0);
    links_.push_back(path);
  }

  // Attempts to open anything in the ports folder since the last call.
  int NewOpenAttempts() {
    int count = 0;
    for (; seenOpens_ < openedPaths.size(); ++seenOpens_) {
      count += openedPaths[seenOpens_].rfind(folder_ + "/", 0) == 0 ? 1 : 0;
    }
    return count;
  }

  void DeviceSends(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // The next `count` bytes the bridge sent, or fewer when the deadline passes.
  std::string DeviceReceives(std::size_t count) {
    std::string got;
    const auto end = Clock::now() + kDeadline;
    while (got.size() < count && Clock::now() < end) {
      pollfd ready{master_, POLLIN, 0};
      if (poll(&ready, 1, 100) <= 0) continue;
      char bytes[64];
      const ssize_t n = read(master_, bytes, std::min(sizeof bytes, count - got.size()));
      if (n > 0) got.append(bytes, static_cast<std::size_t>(n));
    }
    return got;
  }

  void CloseMaster() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

  int master_ = -1;
  std::string slave_;
  std::string folder_;
  std::vector<std::string> links_;
  int baselineDescriptors_ = 0;
  std::size_t seenOpens_ = 0;
};

TEST_F(PortAccess, SetsTheLineRawAt9600EightNoneOneWithoutFlowControl) {
  // Start from a line left in a very different state by an earlier program.
  termios before{};
  ASSERT_EQ(tcgetattr(master_, &before), 0);
  before.c_cflag |= PARENB | CSTOPB | CRTSCTS | HUPCL;
  before.c_cflag &= ~static_cast<tcflag_t>(CLOCAL | CREAD | CSIZE);
  before.c_cflag |= CS7;
  before.c_iflag |= IXON | IXOFF | IXANY | ICRNL | ISTRIP;
  before.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  before.c_oflag |= OPOST | ONLCR;
  before.c_cc[VMIN] = 1;
  before.c_cc[VTIME] = 5;
  cfsetispeed(&before, B115200);
  cfsetospeed(&before, B115200);
  ASSERT_EQ(tcsetattr(master_, TCSANOW, &before), 0);

  Link(4);
  ASSERT_EQ(OpenPort(4), 0);
  // On Linux the master answers with the settings of the slave the bridge holds.
  termios line{};
  ASSERT_EQ(tcgetattr(master_, &line), 0);
  EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B9600));
  EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL), 0u);
  EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
  EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(line.c_oflag & OPOST, 0u);
  EXPECT_EQ(line.c_cc[VMIN], 0);
  EXPECT_EQ(line.c_cc[VTIME], 0);
}

TEST_F(PortAccess, SendLineWritesExactlyTheTwoBytes) {
  Link(4);
  ASSERT_EQ(OpenPort(4), 0);
  SendLine("P\n");
  SendLine("R\n");
  // A translated line feed would show up as a carriage return between the two commands.
  EXPECT_EQ(DeviceReceives(4), "P\nR\n");
}

TEST_F(PortAccess, CountsAndReadsWaitingBytesLeavingTheRestQueued) {
  Link(4);
  ASSERT_EQ(OpenPort(4), 0);
  EXPECT_EQ(WaitingCount(), 0u);
  DeviceSends("hello");
  ASSERT_TRUE(Eventually([] { return WaitingCount() == 5; })) << WaitingCount();
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(ReadWaiting(buffer, 3), 0);
  EXPECT_EQ(std::string(buffer, sizeof buffer), "hel#####");
  EXPECT_EQ(WaitingCount(), 2u);
  EXPECT_EQ(ReadWaiting(buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer, 2), "lo");
  EXPECT_EQ(WaitingCount(), 0u);
}

TEST_F(PortAccess, ReadWithNothingWaitingFailsAndLeavesTheBufferAlone) {
  Link(4);
  ASSERT_EQ(OpenPort(4), 0);
  char buffer[16];
  std::memset(buffer, 0x5A, sizeof buffer);
  EXPECT_EQ(ReadWaiting(buffer, sizeof buffer), -1);
  for (char c : buffer) ASSERT_EQ(c, 0x5A);
}

TEST_F(PortAccess, ReadOfNoBytesFailsAndTakesNothing) {
  Link(4);
  ASSERT_EQ(OpenPort(4), 0);
  DeviceSends("x");
  ASSERT_TRUE(Eventually([] { return WaitingCount() == 1; }));
  char buffer[4] = {};
  EXPECT_EQ(ReadWaiting(buffer, 0), -1);
  EXPECT_EQ(WaitingCount(), 1u);
}

TEST_F(PortAccess, EveryByteValueArrivesUnchanged) {
  Link(4);
  ASSERT_EQ(OpenPort(4), 0);
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  DeviceSends(all);
  ASSERT_TRUE(Eventually([] { return WaitingCount() == 256; })) << WaitingCount();
  char buffer[256];
  ASSERT_EQ(ReadWaiting(buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer, sizeof buffer), all);
}

TEST_F(PortAccess, LongReplyIsReadInBufferSizedPiecesNeverPastTheCount) {
  Link(4);
  ASSERT_EQ(OpenPort(4), 0);
  std::string reply;
  for (int i = 0; i < 3000; ++i) reply += static_cast<char>('a' + i % 26);
  DeviceSends(reply);
  ASSERT_TRUE(Eventually([] { return WaitingCount() == 3000; })) << WaitingCount();

  std::string got;
  for (std::uint32_t left : {1977u, 954u, 0u}) {
    char buffer[1024];
    std::memset(buffer, 0, sizeof buffer);
    ASSERT_EQ(ReadWaiting(buffer, 1023), 0);
    EXPECT_EQ(buffer[1023], 0) << "written past the count";
    got += buffer;
    EXPECT_EQ(WaitingCount(), left);
  }
  EXPECT_EQ(got, reply);
}

TEST_F(PortAccess, PortWithoutDeviceFailsAfterBothNames) {
  EXPECT_EQ(OpenPort(7), -1);
  EXPECT_EQ(NewOpenAttempts(), 2);
  EXPECT_EQ(OpenPort(12345678), -1);
  EXPECT_EQ(NewOpenAttempts(), 2);
  EXPECT_EQ(OpenDescriptors(), baselineDescriptors_);
}

TEST_F(PortAccess, NineDigitPortHasNoSecondName) {
  // "\\.\COM" and nine digits do not fit the 16-byte name buffer: only the first name is
  // tried, and no cut-down name may reach another port.
  Link(12345678);
  EXPECT_EQ(OpenPort(123456789), -1);
  EXPECT_EQ(NewOpenAttempts(), 1);
  EXPECT_EQ(OpenPort(4294967295u), -1);
  EXPECT_EQ(NewOpenAttempts(), 1);
}

TEST_F(PortAccess, LargestPortNumberOpensByItsFirstName) {
  Link(4294967295u);
  EXPECT_EQ(OpenPort(4294967295u), 0);
  EXPECT_EQ(NewOpenAttempts(), 1);
}

TEST_F(PortAccess, DeviceThatIsNotALineIsRefusedAndReleased) {
  char file[] = "/tmp/okvnotatty.XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  close(fd);
  Link(5, file);
  EXPECT_EQ(OpenPort(5), -1);
  EXPECT_EQ(OpenDescriptors(), baselineDescriptors_);
  EXPECT_EQ(Threads(), 0);
  // Not left locked either.
  const int again = open(file, O_RDWR);
  EXPECT_EQ(flock(again, LOCK_EX | LOCK_NB), 0);
  close(again);
  unlink(file);
}

// Starts a process that will try to open the port when told to. It is forked before this process
// opens anything, so that it starts from a closed port of its own.
class OtherProcess {
 public:
  explicit OtherProcess(std::uint32_t port) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[1]);
      alarm(10);  // never outlive a broken test
      char go = 0;
      if (read(fds[0], &go, 1) != 1) _exit(2);
      _exit(OpenPort(port) == 0 ? 0 : 1);
    }
    close(fds[0]);
    go_ = fds[1];
  }

  // 0 or -1 as OpenPort answered there; -2 when the process went wrong.
  int Result() {
    if (pid_ <= 0 || write(go_, "g", 1) != 1) return -2;
    close(go_);
    int status = 0;
    if (waitpid(pid_, &status, 0) != pid_ || !WIFEXITED(status)) return -2;
    return WEXITSTATUS(status) == 0 ? 0 : WEXITSTATUS(status) == 1 ? -1 : -2;
  }

 private:
  pid_t pid_ = -1;
  int go_ = -1;
};

TEST_F(PortAccess, OpenPortIsExclusiveAcrossProcesses) {
  Link(4);
  OtherProcess whileOpen(4);
  ASSERT_EQ(OpenPort(4), 0);
  EXPECT_EQ(whileOpen.Result(), -1);
  ClosePort();
  OtherProcess afterClose(4);
  EXPECT_EQ(afterClose.Result(), 0);
}

TEST_F(PortAccess, FailingOnAHeldLineLeavesItsHolderAlone) {
  // Another serial program holds the line by its lock alone; the bridge's failed open must not
  // make that program's line exclusive behind its back.
  Link(4);
  const int holder = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(OpenPort(4), -1);
  int exclusive = -1;
  ASSERT_EQ(ioctl(holder, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  close(holder);

  ASSERT_EQ(OpenPort(4), 0);
  // Only root gets past TIOCEXCL to look; anyone else is refused, which shows it just as well.
  const int other = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (other < 0) {
    EXPECT_EQ(errno, EBUSY);
    return;
  }
  ASSERT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1) << "the bridge's own open marks the line exclusive";
  close(other);
}

TEST_F(PortAccess, ClosePortReleasesEverythingAndMayBeRepeated) {
  Link(4);
  ASSERT_EQ(OpenPort(4), 0);
  EXPECT_EQ(Threads(), 1);
  ClosePort();
  EXPECT_EQ(Threads(), 0) << "the watcher outlived ClosePort";
  EXPECT_EQ(OpenDescriptors(), baselineDescriptors_);
  ClosePort();
  EXPECT_EQ(OpenDescriptors(), baselineDescriptors_);

  ASSERT_EQ(OpenPort(4), 0);
  SendLine("P\n");
  EXPECT_EQ(DeviceReceives(2), "P\n");
}

TEST_F(PortAccess, OpeningAgainReplacesTheEarlierPort) {
  Link(4);
  ASSERT_EQ(OpenPort(4), 0);
  const int descriptors = OpenDescriptors();
  ASSERT_EQ(OpenPort(4), 0);
  EXPECT_EQ(OpenDescriptors(), descriptors);
  EXPECT_EQ(Threads(), 1);
}

TEST_F(PortAccess, WatcherSleepsWhileBytesWaitUnread) {
  Link(4);
  ASSERT_EQ(OpenPort(4), 0);
  DeviceSends("unread");
  ASSERT_TRUE(Eventually([] { return WaitingCount() == 6; }));
  EXPECT_LT(CpuWhileIdle(), 0.05);
}

TEST_F(PortAccess, WatcherSleepsAfterTheLineHangsUp) {
  Link(4);
  ASSERT_EQ(OpenPort(4), 0);
  CloseMaster();
  EXPECT_LT(CpuWhileIdle(), 0.05);
  ClosePort();
  EXPECT_EQ(Threads(), 0);
}

}  // namespace
