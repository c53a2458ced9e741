// Tests of okvsim-device, driven as the bridge drives it: through the COM link in a ports folder,
// opened raw, while the test plays the harness on the device's standard input and reads its log.
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
#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

enum class Outcome { kDone, kDeadline, kEnd };

// Reads what `fd` offers into `text`, at most `limit` bytes, until `done` holds, the deadline
// passes or the writer is gone.
template <typename Done>
Outcome ReadUntil(int fd, std::string& text, int ms, Done done,
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

struct Device {
  pid_t pid = -1;
  int control = -1;      // its standard input
  int log = -1;          // its standard output
  int errors = -1;       // its standard error
  std::string logText;   // its output so far
  std::size_t seen = 0;  // where the next WaitForLog starts looking
  std::string errorText;
};

Device Launch(const std::vector<std::string>& args) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    return {};
  }
  std::vector<char*> argv = {const_cast<char*>(OKVSIM_DEVICE)};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  Device device;
  device.pid = fork();
  if (device.pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  device.control = in[1];
  device.log = out[0];
  device.errors = err[0];
  return device;
}

// Waits for a log line holding `text`, after the line the previous wait found.
bool WaitForLog(Device& device, const std::string& text, int ms = 3000,
                std::string* line = nullptr) {
  std::size_t hit = std::string::npos;
  auto found = [&] {
    for (std::size_t at = device.seen, end;
         (end = device.logText.find('\n', at)) != std::string::npos; at = end + 1) {
      if (device.logText.substr(at, end - at).find(text) != std::string::npos) {
        if (line != nullptr) *line = device.logText.substr(at, end - at);
        hit = end + 1;
        return true;
      }
    }
    return false;
  };
  if (ReadUntil(device.log, device.logText, ms, found) != Outcome::kDone) return false;
  device.seen = hit;
  return true;
}

// Waits for the device to end: its output reaches its end when the process has gone. Answers its
// exit status, or -1 when it did not end in time (it is then killed).
int WaitExit(Device& device, int ms = 5000) {
  const auto never = [] { return false; };
  const bool ended = ReadUntil(device.log, device.logText, ms, never) == Outcome::kEnd;
  if (!ended) kill(device.pid, SIGKILL);
  ReadUntil(device.errors, device.errorText, 1000, never);
  int status = 0;
  waitpid(device.pid, &status, 0);
  for (int* fd : {&device.control, &device.log, &device.errors}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  device.pid = -1;
  return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Opens a port the way the bridge does: non-blocking, raw 9600 8N1, no flow control. Unless
// `raw`, the line is left as the device set it.
int OpenPort(const std::string& path, bool raw = true) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
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

int Waiting(int fd) {
  int count = -1;
  ioctl(fd, FIONREAD, &count);
  return count;
}

// Up to `count` bytes from the port, as many as come before the deadline; nothing beyond them is
// taken from the line.
std::string Receive(int fd, std::size_t count, int ms = 3000) {
  std::string got;
  ReadUntil(
      fd, got, ms, [&] { return got.size() >= count; }, count);
  return got;
}

// True when nothing arrives on `fd` for `ms`.
bool Quiet(int fd, int ms) {
  pollfd ready{fd, POLLIN, 0};
  return poll(&ready, 1, ms) == 0;
}

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folderName[] = "/tmp/okvsim-device-test-XXXXXX";
    ASSERT_NE(mkdtemp(folderName), nullptr);
    folder = folderName;
    link = folder + "/COM7";
  }

  void TearDown() override {
    if (port >= 0) close(port);
    if (device.pid > 0) {
      kill(device.pid, SIGTERM);
      WaitExit(device);
    }
    unlink(link.c_str());
    rmdir(folder.c_str());
  }

  // Starts the device as COM7 in this test's folder and opens its link once it is ready.
  void Start(std::vector<std::string> args, bool raw = true) {
    args.insert(args.begin(), {"--ports", folder, "--com", "7"});
    device = Launch(args);
    ASSERT_GT(device.pid, 0);
    ASSERT_TRUE(WaitForLog(device, "ready COM7 -> ", 5000, &ready)) << device.logText;
    port = OpenPort(link, raw);
    ASSERT_GE(port, 0);
  }

  // Gives the device a command and waits until it has been done.
  void Tell(const std::string& command) {
    const std::string line = command + "\n";
    ASSERT_EQ(write(device.control, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    ASSERT_TRUE(WaitForLog(device, "ok " + command)) << device.logText;
  }

  void Send(const std::string& bytes) {
    ASSERT_EQ(write(port, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  std::string folder, link, ready;
  Device device;
  int port = -1;
};

TEST_F(DeviceTest, AnswersPAndRWithTheirDefaultReplies) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  Send("P\n");
  EXPECT_EQ(Receive(port, 10), "Turning On");
  Send("R\n");
  EXPECT_EQ(Receive(port, 4), "A123");
  EXPECT_TRUE(Quiet(port, 200)) << "bytes beyond the two replies";
}

TEST_F(DeviceTest, RepliesTakeEscapesFromOptionsAndCommands) {
  ASSERT_NO_FATAL_FAILURE(Start({"--p", "Sleep\\r\\n", "--r=A\\x00\\t9\\\\"}));
  Send("P\n");
  EXPECT_EQ(Receive(port, 7), "Sleep\r\n");
  Send("R\n");
  EXPECT_EQ(Receive(port, 5), std::string("A\0\t9\\", 5));
  ASSERT_NO_FATAL_FAILURE(Tell("p Sleep and Turning On"));
  ASSERT_NO_FATAL_FAILURE(Tell("r A-5"));
  Send("R\nP\n");
  EXPECT_EQ(Receive(port, 23), "A-5Sleep and Turning On");
}

TEST_F(DeviceTest, FindsCommandsAmidNoiseAndAcrossReads) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  Send("xyP");
  ASSERT_TRUE(WaitForLog(device, "<- ignored \"xy\""));
  Send("\n");
  EXPECT_EQ(Receive(port, 10), "Turning On");
  Send("p\nQ\nPR\n");  // lower case is no command, and only the letter before the line feed counts
  EXPECT_EQ(Receive(port, 4), "A123");
  EXPECT_TRUE(Quiet(port, 200));
}

TEST_F(DeviceTest, DelayHoldsTheReplyButNotTheDevice) {
  ASSERT_NO_FATAL_FAILURE(Start({"--delay", "800"}));
  const Clock::time_point sent = Clock::now();
  Send("P\n");
  ASSERT_TRUE(WaitForLog(device, "<- P"));
  ASSERT_NO_FATAL_FAILURE(Tell("delay 0"));
  Send("R\n");
  ASSERT_TRUE(WaitForLog(device, "<- R"));
  EXPECT_LT(MsSince(sent), 600) << "the delayed reply held up commands";
  EXPECT_EQ(Waiting(port), 0);
  EXPECT_EQ(Receive(port, 1), "T");
  const long first = MsSince(sent);
  EXPECT_GE(first, 800);
  EXPECT_LT(first, 800 + 1000);
  // The later reply, though due at once, waits behind the delayed one.
  EXPECT_EQ(Receive(port, 13), "urning OnA123");
}

TEST_F(DeviceTest, SplitReplyArrivesInTwoPartsWithThePauseBetween) {
  ASSERT_NO_FATAL_FAILURE(Start({"--split", "4", "--split-pause", "500"}));
  Send("P\n");
  EXPECT_EQ(Receive(port, 4), "Turn");
  const Clock::time_point first = Clock::now();
  EXPECT_EQ(Waiting(port), 0) << "the second part came with the first";
  EXPECT_EQ(Receive(port, 6), "ing On");
  EXPECT_GE(MsSince(first), 450);
  ASSERT_NO_FATAL_FAILURE(Tell("split 1 200"));
  Send("R\n");
  EXPECT_EQ(Receive(port, 1), "A");
  const Clock::time_point again = Clock::now();
  EXPECT_EQ(Receive(port, 3), "123");
  EXPECT_GE(MsSince(again), 150);
}

TEST_F(DeviceTest, SilentSendsNothingUntilTurnedOff) {
  ASSERT_NO_FATAL_FAILURE(Start({"--silent"}));
  Send("P\n");
  ASSERT_TRUE(WaitForLog(device, "P unanswered (silent)"));
  EXPECT_TRUE(Quiet(port, 1000));
  ASSERT_NO_FATAL_FAILURE(Tell("silent off"));
  Send("P\n");
  EXPECT_EQ(Receive(port, 10), "Turning On");
}

// The port is opened here without any settings of its own, so what it shows is the line as the
// device set it up.
TEST_F(DeviceTest, LineIsRawFromTheStart) {
  ASSERT_NO_FATAL_FAILURE(Start({}, false));
  Send("P\n");  // with output processing, the device would hear "P\r\n"
  EXPECT_EQ(Receive(port, 10), "Turning On");  // in canonical mode, only after a line feed
}

TEST_F(DeviceTest, SendWritesUnsolicitedBytesThatDoNotComeBack) {
  ASSERT_NO_FATAL_FAILURE(Start({}, false));
  ASSERT_NO_FATAL_FAILURE(Tell("send P\\n\\0Z"));
  EXPECT_EQ(Receive(port, 4), std::string("P\n\0Z", 4));
  // Echoed by the line, the device's own "P\n" would come back to it as a command.
  EXPECT_TRUE(Quiet(port, 300));
  EXPECT_FALSE(WaitForLog(device, "<- P", 0));
}

TEST_F(DeviceTest, NextReplyAppliesOnceEvenWhileSilent) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  ASSERT_NO_FATAL_FAILURE(Tell("next p Sleep"));
  ASSERT_NO_FATAL_FAILURE(Tell("next p"));
  Send("R\nP\n");
  EXPECT_EQ(Receive(port, 9), "A123Sleep");
  Send("P\n");
  ASSERT_TRUE(WaitForLog(device, "-> \"\" (0 bytes, once)"));
  Send("P\n");
  EXPECT_EQ(Receive(port, 10), "Turning On");
  ASSERT_NO_FATAL_FAILURE(Tell("silent on"));
  ASSERT_NO_FATAL_FAILURE(Tell("next r A9"));
  Send("R\nR\n");
  EXPECT_EQ(Receive(port, 2), "A9");
  ASSERT_TRUE(WaitForLog(device, "R unanswered (silent)"));
}

TEST_F(DeviceTest, LongReplyOf3000BytesArrivesWhole) {
  ASSERT_NO_FATAL_FAILURE(Start({"--long", "3000"}));
  Send("P\n");
  const std::string reply = Receive(port, 3000);
  ASSERT_EQ(reply.size(), 3000u);
  EXPECT_EQ(reply.substr(0, 12), "012345678901");
  EXPECT_EQ(reply[1234], '4');
  EXPECT_EQ(reply.substr(2995), "<END>");
  EXPECT_TRUE(Quiet(port, 200));
  std::string line;
  ASSERT_TRUE(WaitForLog(device, "<END>\" (3000 bytes)", 1000, &line));
  EXPECT_NE(line.find("-> \"012345678901"), std::string::npos) << line;
  EXPECT_LT(line.size(), 200u) << "the log shows the middle of a long reply";
}

// Far more than the pseudo-terminal holds: the device must wait for room, not drop the rest.
TEST_F(DeviceTest, ReplyLongerThanTheLineHoldsArrivesWhole) {
  ASSERT_NO_FATAL_FAILURE(Start({"--long", "200000"}));
  Send("R\n");
  const std::string reply = Receive(port, 200000, 10000);
  ASSERT_EQ(reply.size(), 200000u);
  EXPECT_EQ(reply.substr(199995), "<END>");
  for (std::size_t i = 0; i < 199995; ++i) {
    ASSERT_EQ(reply[i], static_cast<char>('0' + i % 10)) << "at " << i;
  }
}

TEST_F(DeviceTest, BinaryReplyHoldsANul) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  ASSERT_NO_FATAL_FAILURE(Tell("binary 64"));
  Send("R\n");
  const std::string reply = Receive(port, 64);
  ASSERT_EQ(reply.size(), 64u);
  EXPECT_NE(reply.find('\0'), std::string::npos);
  Send("P\n");
  EXPECT_EQ(Receive(port, 64), reply) << "P and R share the binary reply";
}

TEST_F(DeviceTest, PeerCloseDropsExclusiveModeAndUnreadInput) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  ASSERT_EQ(ioctl(port, TIOCEXCL), 0);
  Send("P\n");
  ASSERT_TRUE(WaitForLog(device, "-> \"Turning On\""));
  close(port);
  port = -1;
  ASSERT_TRUE(WaitForLog(device, "-- line closed"));
  port = OpenPort(link);
  ASSERT_GE(port, 0);
  int exclusive = -1;
  ASSERT_EQ(ioctl(port, TIOCGEXCL, &exclusive), 0);
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
  pollfd hungUp{port, POLLIN, 0};
  ASSERT_EQ(poll(&hungUp, 1, 1000), 1);
  EXPECT_NE(hungUp.revents & POLLHUP, 0);
  char byte = 0;
  EXPECT_LE(read(port, &byte, 1), 0) << "a byte came from a pulled line";
  struct stat entry {};
  EXPECT_NE(lstat(link.c_str(), &entry), 0) << "the link outlived the line";
  ASSERT_NO_FATAL_FAILURE(Tell("send lost"));
  EXPECT_NE(device.logText.find("-> \"lost\" dropped: unplugged"), std::string::npos);

  ASSERT_NO_FATAL_FAILURE(Tell("plug"));
  ASSERT_NE(device.logText.find("-- plugged in: " + link), std::string::npos) << device.logText;
  const int again = OpenPort(link);
  ASSERT_GE(again, 0);
  EXPECT_LT(write(port, "R\n", 2), 0) << "the old descriptor came back to life";
  EXPECT_TRUE(Quiet(again, 800)) << "the delayed reply of the pulled line came on the new one";
  ASSERT_EQ(write(again, "R\n", 2), 2);
  EXPECT_EQ(Receive(again, 4), "A123");
  close(again);
  // Twice is a mistake: reported, and the line stays as it is.
  ASSERT_EQ(write(device.control, "plug\n", 5), 5);
  std::string refused;
  ReadUntil(device.errors, refused, 1000, [&] { return refused.find('\n') != std::string::npos; });
  EXPECT_NE(refused.find("plugged in already"), std::string::npos) << refused;
}

TEST_F(DeviceTest, BadCommandIsReportedAndTheDeviceGoesOn) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  const std::string bad = "frobnicate\ndelay soon\nsplit\np \\q\n";
  ASSERT_EQ(write(device.control, bad.data(), bad.size()), static_cast<ssize_t>(bad.size()));
  ASSERT_NO_FATAL_FAILURE(Tell("r B7"));
  Send("R\nP\n");
  EXPECT_EQ(Receive(port, 12), "B7Turning On");
  ReadUntil(device.errors, device.errorText, 3000, [&] {
    return std::count(device.errorText.begin(), device.errorText.end(), '\n') >= 4;
  });
  EXPECT_EQ(std::count(device.errorText.begin(), device.errorText.end(), '\n'), 4)
      << device.errorText;
  EXPECT_NE(device.errorText.find("frobnicate"), std::string::npos);
}

TEST_F(DeviceTest, EndOfInputKeepsItAnswering) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  close(device.control);
  device.control = -1;
  ASSERT_TRUE(WaitForLog(device, "end of input: answering on"));
  Send("P\n");
  EXPECT_EQ(Receive(port, 10), "Turning On");
}

TEST_F(DeviceTest, QuitEndsWithZeroAndRemovesTheLink) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  ASSERT_NO_FATAL_FAILURE(Tell("quit"));
  EXPECT_EQ(WaitExit(device), 0);
  struct stat entry {};
  EXPECT_NE(lstat(link.c_str(), &entry), 0) << "link left behind";
}

TEST_F(DeviceTest, EndOfInputEndsItWhenAsked) {
  ASSERT_NO_FATAL_FAILURE(Start({"--exit-on-eof"}));
  close(device.control);
  device.control = -1;
  EXPECT_EQ(WaitExit(device), 0);
  struct stat entry {};
  EXPECT_NE(lstat(link.c_str(), &entry), 0) << "link left behind";
}

TEST_F(DeviceTest, RefusesALiveLinkAndReplacesAStaleOne) {
  ASSERT_EQ(symlink((folder + "/gone").c_str(), link.c_str()), 0);
  ASSERT_NO_FATAL_FAILURE(Start({}));
  EXPECT_NE(device.logText.find("replaced stale link"), std::string::npos);
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(ready, std::string("ready COM7 -> ") + target);

  Device second = Launch({"--ports", folder, "--com", "7"});
  EXPECT_EQ(WaitExit(second), 2);
  EXPECT_NE(second.errorText.find("live tty"), std::string::npos) << second.errorText;
  char still[256] = {};
  ASSERT_GT(readlink(link.c_str(), still, sizeof still - 1), 0);
  EXPECT_STREQ(still, target);
  Send("P\n");
  EXPECT_EQ(Receive(port, 10), "Turning On");
}

class DeviceSignalTest : public DeviceTest, public ::testing::WithParamInterface<int> {};

TEST_P(DeviceSignalTest, EndsWithZeroAndRemovesItsLink) {
  ASSERT_NO_FATAL_FAILURE(Start({}));
  struct stat entry {};
  ASSERT_EQ(lstat(link.c_str(), &entry), 0);
  ASSERT_EQ(kill(device.pid, GetParam()), 0);
  EXPECT_EQ(WaitExit(device), 0);
  EXPECT_NE(lstat(link.c_str(), &entry), 0) << "link left behind";
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
    std::ifstream stat("/proc/" + std::to_string(device.pid) + "/stat");
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
  kill(device.pid, SIGTERM);
  EXPECT_EQ(WaitExit(device), 0);
}

int RunToEnd(const std::vector<std::string>& args, Device& device) {
  device = Launch(args);
  return WaitExit(device);
}

TEST(DeviceCommandLine, HelpExitsZeroAndNamesEveryOptionAndCommand) {
  Device device;
  ASSERT_EQ(RunToEnd({"--help"}, device), 0);
  for (const char* word :
       {"--ports",  "--com",         "--tty",    "--p ",     "--r ",     "--delay",
        "--split ", "--split-pause", "--silent", "--long",   "--binary", "--exit-on-eof",
        "--help",   "next p",        "send",     "delay MS", "split N",  "silent on|off",
        "long N",   "binary N",      "unplug",   "plug",     "quit",     "ready"}) {
    EXPECT_NE(device.logText.find(word), std::string::npos) << word;
  }
}

TEST(DeviceCommandLine, BadOptionExitsTwoWithOneLine) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},
      {"--delay", "soon"},
      {"--p", "\\q"},
      {"--com"},
      {"--long", "99999999"},
      {"--silent=yes"},
      {"--ports", "/nonexistent/okvsim", "--com", "3"}};
  for (const std::vector<std::string>& args : cases) {
    Device device;
    EXPECT_EQ(RunToEnd(args, device), 2) << args[0];
    EXPECT_EQ(std::count(device.errorText.begin(), device.errorText.end(), '\n'), 1)
        << args[0] << ": " << device.errorText;
  }
}

}  // namespace
