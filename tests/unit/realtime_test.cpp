// What only real time or the real program can show: the completion wait measured on the real
// clock, and the okvbridge binary's own start, output and exit.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "case_names.h"
#include "fake_runtime.h"
#include "runtime/runtime_link.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(RealClockCompletion, GivesUpAfterAboutOneSecondOfFetching) {
  ASSERT_TRUE(ConnectRuntime());
  void* library = dlopen("libkolt8.so", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr);
  auto state = reinterpret_cast<fake_runtime::State* (*)()>(dlsym(library, "FakeRuntimeState"));
  ASSERT_NE(state, nullptr) << "the fake runtime library is not on the library search path";
  fake_runtime::Fault never;
  never.kind = fake_runtime::Kind::ReadSubmit;
  never.notReadyFetches = -1;
  state()->faults.push_back(never);

  StatusCode status = 0;
  std::int32_t value = 0x5A5A5A5A;
  const auto start = Clock::now();
  EXPECT_FALSE(ReadVar(VarRef{5, 1000}, status, value));
  const auto waited = Clock::now() - start;
  EXPECT_EQ(status, kStatusTimeout);
  EXPECT_EQ(value, 0x5A5A5A5A);
  EXPECT_GE(waited, 999ms);
  EXPECT_LT(waited, 1500ms);
  // Fetched without a pause: a loop that slept even a millisecond between fetches would make at
  // most about a thousand, where this one makes millions (still tens of thousands under valgrind).
  EXPECT_GT(state()->fetches, 10000u);
}

// A temporary folder, removed with what it holds at the end of the test.
class TempFolder {
 public:
  TempFolder() {
    char path[] = "/tmp/okvbridge-test.XXXXXX";
    if (mkdtemp(path) != nullptr) path_ = path;
  }
  ~TempFolder() {
    for (const std::string& entry : entries_) unlink(entry.c_str());
    rmdir(path_.c_str());
  }
  const std::string& Path() const { return path_; }
  void Link(const std::string& name, const std::string& target) {
    entries_.push_back(path_ + "/" + name);
    symlink(target.c_str(), entries_.back().c_str());
  }

 private:
  std::string path_;
  std::vector<std::string> entries_;
};

enum class Input { DevNull, PipeAtEnd };

// The okvbridge binary, started with a clean environment and its output on a pipe.
class Bridge {
 public:
  Bridge(const std::vector<std::string>& arguments, const std::string& portsFolder, Input input) {
    int out[2];
    int in[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      const int stdinFd = input == Input::DevNull ? open("/dev/null", O_RDONLY) : in[0];
      dup2(stdinFd, STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      // A runtime library in the current folder is not the bridge's: it looks beside itself and
      // where LD_LIBRARY_PATH says, never where it happens to be started.
      if (chdir(FAKE_RUNTIME_DIR) != 0) _exit(126);
      std::vector<std::string> env{"OKVBRIDGE_PORTS=" + portsFolder,
                                   std::string("LD_LIBRARY_PATH=") + NO_RUNTIME_DIR};
      std::vector<char*> argv{const_cast<char*>(OKVBRIDGE_BINARY)};
      for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      std::vector<char*> envp;
      for (std::string& e : env) envp.push_back(e.data());
      envp.push_back(nullptr);
      execve(OKVBRIDGE_BINARY, argv.data(), envp.data());
      _exit(127);
    }
    close(out[1]);
    close(in[0]);
    close(in[1]);  // the pipe's input is at its end from the start
    output_ = out[0];
  }

  ~Bridge() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (output_ >= 0) close(output_);
  }

  // Reads the output until it holds `size` bytes, it ends, or the deadline passes.
  const std::string& ReadOutput(std::size_t size = SIZE_MAX) {
    const auto end = Clock::now() + 5s;
    while (text_.size() < size && Clock::now() < end) {
      pollfd ready{output_, POLLIN, 0};
      if (poll(&ready, 1, 100) <= 0) continue;
      char bytes[256];
      const ssize_t n = read(output_, bytes, sizeof bytes);
      if (n <= 0) break;
      text_.append(bytes, static_cast<std::size_t>(n));
    }
    return text_;
  }

  bool Running() { return pid_ > 0 && !exited_ && waitpid(pid_, &status_, WNOHANG) == 0; }

  // The exit status, or -1 when the process has not ended before the deadline.
  int ExitStatus() {
    const auto end = Clock::now() + 5s;
    while (!exited_ && Clock::now() < end) {
      if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        exited_ = true;
      } else {
        std::this_thread::sleep_for(1ms);
      }
    }
    return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  int status_ = 0;
  bool exited_ = false;
  std::string text_;
};

struct Failure {
  std::vector<std::string> arguments;
  Input input;
  std::string banner;
};

void PrintTo(const Failure& f, std::ostream* os) {
  *os << (f.arguments.empty() ? "no argument" : f.arguments[0])
      << (f.input == Input::DevNull ? " from /dev/null" : " from a finished pipe");
}

class PortOpenFailureExit : public testing::TestWithParam<Failure> {};

TEST_P(PortOpenFailureExit, PrintsBannerAndErrorThenExitsWithMinusOneAtOnce) {
  TempFolder ports;  // no COM links at all
  const auto start = Clock::now();
  Bridge bridge(GetParam().arguments, ports.Path(), GetParam().input);
  EXPECT_EQ(bridge.ExitStatus(), 255);
  EXPECT_LT(Clock::now() - start, 1000ms) << "the bridge waited before giving up";
  EXPECT_EQ(bridge.ReadOutput(),
            GetParam().banner + "Erreur a l'ouverture du port de communication\n");
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, PortOpenFailureExit,
    testing::Values(
        Failure{{}, Input::DevNull, "Communication OKV (COM4) <-> Corvalen V1.000\n"},
        Failure{{"abc"}, Input::DevNull, "Communication OKV (COM0) <-> Corvalen V1.000\n"},
        Failure{{"abc"}, Input::PipeAtEnd, "Communication OKV (COM0) <-> Corvalen V1.000\n"},
        Failure{
            {"-1"}, Input::PipeAtEnd, "Communication OKV (COM4294967295) <-> Corvalen V1.000\n"},
        Failure{{"9", "7"}, Input::DevNull, "Communication OKV (COM4) <-> Corvalen V1.000\n"}),
    NamedByPrinting<Failure>());

TEST(BridgeProgram, EveryMessageReachesAPipeAsItIsPrinted) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  TempFolder ports;
  ports.Link("COM4", ptsname(master));

  Bridge bridge({}, ports.Path(), Input::DevNull);
  const std::string expected =
      "Communication OKV (COM4) <-> Corvalen V1.000\n"
      "Connexion a Corvalen...\n"
      "Connexion impossible\n";
  EXPECT_EQ(bridge.ReadOutput(expected.size()), expected);
  // Still running: what arrived was flushed, not left behind by an exit.
  EXPECT_TRUE(bridge.Running());
  close(master);
}

}  // namespace
