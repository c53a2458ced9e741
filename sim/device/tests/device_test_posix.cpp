// The device simulator's tests, POSIX side: the device started with fork and exec and pipes on
// its standard streams, the bridge's end of the line as the COM7 link in a ports folder of the
// test's own, and the cases that only mean something here (the link's life, a peer's close, the
// tty and its hang-up, signals).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device_test.h"

struct DeviceProcess {
  pid_t pid = -1;
  int control = -1;  // its standard input
  int log = -1;      // its standard output
  int errors = -1;   // its standard error
};

namespace {

std::string folder, linkPath;  // the test's ports folder and its COM7

// Reads what `fd` offers into `text`, at most `limit` bytes, until `done` holds, the deadline
// passes or the writer is gone.
Outcome ReadUntil(int fd, std::string& text, int ms, const std::function<bool()>& done,
                  std::size_t limit = std::string::npos) {
  const Clock::time_point start = Clock::now();
  while (!done()) {
    const long left = ms - MsSince(start);
    pollfd ready{fd, POLLIN, 0};
    if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0) return Outcome::kDeadline;
    char data[4096];
    const ssize_t length = read(fd, data, std::min(sizeof data, limit - text.size()));
    if (length <= 0) return done() ? Outcome::kDone : Outcome::kEnd;
    text.append(data, static_cast<std::size_t>(length));
  }
  return Outcome::kDone;
}

}  // namespace

Device Launch(const std::vector<std::string>& args) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return {};
  }
  std::vector<char*> argv = {const_cast<char*>(OKVSIM_DEVICE)};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  Device device;
  device.process = new DeviceProcess;
  device.process->pid = fork();
  if (device.process->pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  device.process->control = in[1];
  device.process->log = out[0];
  device.process->errors = err[0];
  return device;
}

bool Running(const Device& device) {
  return device.process != nullptr && device.process->pid > 0;
}

bool Control(Device& device, const std::string& text) {
  return write(device.process->control, text.data(), text.size()) ==
         static_cast<ssize_t>(text.size());
}

void CloseControl(Device& device) {
  close(device.process->control);
  device.process->control = -1;
}

Outcome ReadLog(Device& device, int ms, const std::function<bool()>& done) {
  return ReadUntil(device.process->log, device.logText, ms, done);
}

Outcome ReadErrors(Device& device, int ms, const std::function<bool()>& done) {
  return ReadUntil(device.process->errors, device.errorText, ms, done);
}

// Its output reaches its end when the process has gone.
int WaitExit(Device& device, int ms) {
  DeviceProcess& process = *device.process;
  const auto never = [] { return false; };
  const bool ended = ReadUntil(process.log, device.logText, ms, never) == Outcome::kEnd;
  if (!ended) kill(process.pid, SIGKILL);
  ReadUntil(process.errors, device.errorText, 1000, never);
  int status = 0;
  waitpid(process.pid, &status, 0);
  for (int* fd : {&process.control, &process.log, &process.errors}) {
    if (*fd >= 0) close(*fd);
  }
  delete device.process;
  device.process = nullptr;
  return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void StopDevice(Device& device) {
  kill(device.process->pid, SIGTERM);
  WaitExit(device);
}

std::vector<std::string> LineArgs() {
  return {"--ports", folder, "--com", "7"};
}

std::string ReadyText() {
  return "ready COM7 -> ";
}

bool PrepareLine() {
  char folderName[] = "/tmp/okvsim-device-test-XXXXXX";
  if (mkdtemp(folderName) == nullptr) return false;
  folder = folderName;
  linkPath = folder + "/COM7";
  return true;
}

void PutLineAway() {
  unlink(linkPath.c_str());
  rmdir(folder.c_str());
}

// Non-blocking, raw 9600 8N1, no flow control, as the bridge opens it. Unless `raw`, the line is
// left as the device set it.
Peer OpenPeer(bool raw) {
  const int fd = open(linkPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  termios tio{};
  if (fd < 0 || !raw) return fd;
  if (tcgetattr(fd, &tio) != 0) return -1;
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetspeed(&tio, B9600);
  tcsetattr(fd, TCSANOW, &tio);
  return fd;
}

void ClosePeer(Peer& peer) {
  if (peer >= 0) close(static_cast<int>(peer));
  peer = kNoPeer;
}

bool PeerSend(Peer peer, const std::string& bytes) {
  return write(static_cast<int>(peer), bytes.data(), bytes.size()) ==
         static_cast<ssize_t>(bytes.size());
}

int Waiting(Peer peer) {
  int count = -1;
  ioctl(static_cast<int>(peer), FIONREAD, &count);
  return count;
}

std::string Receive(Peer peer, std::size_t count, int ms) {
  std::string got;
  ReadUntil(
      static_cast<int>(peer), got, ms, [&] { return got.size() >= count; }, count);
  return got;
}

bool Quiet(Peer peer, int ms) {
  pollfd ready{static_cast<int>(peer), POLLIN, 0};
  return poll(&ready, 1, ms) == 0;
}

std::vector<std::string> LineOptionNames() {
  return {"--ports", "--com", "--tty", "--port"};
}

std::vector<std::vector<std::string>> BadLineOptions() {
  return {{"--ports", "/nonexistent/okvsim", "--com", "3"}, {"--port", "COM5"}};
}

bool LinkLeftBehind() {
  struct stat entry {};
  return lstat(linkPath.c_str(), &entry) == 0;
}

namespace {

// The port is opened here without any settings of its own, so what it shows is the line as the
// device set it up.
TEST_F(DeviceTest, LineIsRawFromTheStart) {
  ASSERT_NO_FATAL_FAILURE(Start({}, false));
  Send("P\n");  // with output processing, the device would hear "P\r\n"
  EXPECT_EQ(Receive(port, 10), "Turning On");  // in canonical mode, only after a line feed
}

TEST_F(DeviceTest, PeerCloseDropsExclusiveModeAndUnreadInput) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  ASSERT_EQ(ioctl(static_cast<int>(port), TIOCEXCL), 0);
  Send("P\n");
  ASSERT_TRUE(WaitForLog(device, "-> \"Turning On\""));
  ClosePeer(port);
  ASSERT_TRUE(WaitForLog(device, "-- line closed"));
  port = OpenPeer();
  ASSERT_GE(port, 0);
  int exclusive = -1;
  ASSERT_EQ(ioctl(static_cast<int>(port), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  EXPECT_EQ(Waiting(port), 0);
}

// What a bridge holding the port sees of a pulled adapter: its descriptor hangs up and stays
// dead, the name is gone, and a reply that was under way never comes; the name comes back, on
// another line, once the adapter is plugged in again.
TEST_F(DeviceTest, UnplugHangsUpThePortAndPlugLinksANewLine) {
  ASSERT_NO_FATAL_FAILURE(Start({"--delay", "500"}));
  Send("P\n");
  ASSERT_TRUE(WaitForLog(device, "<- P"));
  ASSERT_NO_FATAL_FAILURE(Tell("unplug"));
  pollfd hungUp{static_cast<int>(port), POLLIN, 0};
  ASSERT_EQ(poll(&hungUp, 1, 1000), 1);
  EXPECT_NE(hungUp.revents & POLLHUP, 0);
  char byte = 0;
  EXPECT_LE(read(port, &byte, 1), 0) << "a byte came from a pulled line";
  struct stat entry {};
  EXPECT_NE(lstat(linkPath.c_str(), &entry), 0) << "the link outlived the line";
  ASSERT_NO_FATAL_FAILURE(Tell("send lost"));
  EXPECT_NE(device.logText.find("-> \"lost\" dropped: unplugged"), std::string::npos);

  ASSERT_NO_FATAL_FAILURE(Tell("plug"));
  ASSERT_NE(device.logText.find("-- plugged in: " + linkPath), std::string::npos) << device.logText;
  Peer again = OpenPeer();
  ASSERT_GE(again, 0);
  EXPECT_LT(write(static_cast<int>(port), "R\n", 2), 0) << "the old descriptor came back to life";
  EXPECT_TRUE(Quiet(again, 800)) << "the delayed reply of the pulled line came on the new one";
  ASSERT_EQ(write(static_cast<int>(again), "R\n", 2), 2);
  EXPECT_EQ(Receive(again, 4), "A123");
  ClosePeer(again);
  // Twice is a mistake: reported, and the line stays as it is.
  ASSERT_TRUE(Control(device, "plug\n"));
  ReadErrors(device, 1000, [&] { return device.errorText.find('\n') != std::string::npos; });
  EXPECT_NE(device.errorText.find("plugged in already"), std::string::npos) << device.errorText;
}

TEST_F(DeviceTest, RefusesALiveLinkAndReplacesAStaleOne) {
  ASSERT_EQ(symlink((folder + "/gone").c_str(), linkPath.c_str()), 0);
  ASSERT_NO_FATAL_FAILURE(Start({}));
  EXPECT_NE(device.logText.find("replaced stale link"), std::string::npos);
  char target[256] = {};
  ASSERT_GT(readlink(linkPath.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(ready, std::string("ready COM7 -> ") + target);

  Device second = Launch({"--ports", folder, "--com", "7"});
  EXPECT_EQ(WaitExit(second), 2);
  EXPECT_NE(second.errorText.find("live tty"), std::string::npos) << second.errorText;
  char still[256] = {};
  ASSERT_GT(readlink(linkPath.c_str(), still, sizeof still - 1), 0);
  EXPECT_STREQ(still, target);
  Send("P\n");
  EXPECT_EQ(Receive(port, 10), "Turning On");
}

class DeviceSignalTest : public DeviceTest, public ::testing::WithParamInterface<int> {};

TEST_P(DeviceSignalTest, EndsWithZeroAndRemovesItsLink) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  struct stat entry {};
  ASSERT_EQ(lstat(linkPath.c_str(), &entry), 0);
  ASSERT_EQ(kill(device.process->pid, GetParam()), 0);
  EXPECT_EQ(WaitExit(device), 0);
  EXPECT_NE(lstat(linkPath.c_str(), &entry), 0) << "link left behind";
}

INSTANTIATE_TEST_SUITE_P(Signals, DeviceSignalTest, ::testing::Values(SIGINT, SIGTERM, SIGHUP));

// The device on a tty it is given; here the slave of the test's own pseudo-terminal, whose master
// plays the bridge's end of the line.
TEST(DeviceTty, AnswersOnTheTtyAndBacksOffWhenItHangsUp) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave = ptsname(master);
  Device device = Launch({"--tty", slave});
  ASSERT_TRUE(WaitForLog(device, "ready " + slave)) << device.logText;
  ASSERT_EQ(write(master, "P\n", 2), 2);
  EXPECT_EQ(Receive(master, 10), "Turning On");

  close(master);
  ASSERT_TRUE(WaitForLog(device, "line hung up")) << device.logText;
  // A hung-up tty reads as ready for ever: a device that kept polling it would burn a CPU.
  auto cpuTicks = [&] {
    std::ifstream stat("/proc/" + std::to_string(device.process->pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i >= 14) ticks += std::stol(field);  // utime and stime
    }
    return ticks;
  };
  const long before = cpuTicks();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the window measured, no wait
  EXPECT_LT(cpuTicks() - before, sysconf(_SC_CLK_TCK) / 10);
  kill(device.process->pid, SIGTERM);
  EXPECT_EQ(WaitExit(device), 0);
}

}  // namespace
