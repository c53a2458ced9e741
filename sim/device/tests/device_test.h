// What the device simulator's tests need of their platform: starting the device with pipes on its
// standard streams, and the bridge's end of its line, opened raw as the bridge opens it.
// device_test_posix.cpp and device_test_win32.cpp give them; device_test.cpp holds the cases
// that mean the same on both.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using Clock = std::chrono::steady_clock;

inline long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

enum class Outcome { kDone, kDeadline, kEnd };

struct DeviceProcess;  // the platform's record of a running device

struct Device {
  DeviceProcess* process = nullptr;
  std::string logText;   // its output so far
  std::size_t seen = 0;  // where the next WaitForLog starts looking
  std::string errorText;
};

Device Launch(const std::vector<std::string>& args);
bool Running(const Device& device);
// Writes to the device's standard input; closes it.
bool Control(Device& device, const std::string& text);
void CloseControl(Device& device);
// Reads the device's standard output (or standard error) until `done` holds, the deadline passes
// or the device has closed it.
Outcome ReadLog(Device& device, int ms, const std::function<bool()>& done);
Outcome ReadErrors(Device& device, int ms, const std::function<bool()>& done);
// Waits for the device to end; answers its exit code, or -1 when it did not end in time (it is
// then killed).
int WaitExit(Device& device, int ms = 5000);
// Asks a running device to end as the platform's user would (SIGTERM; on Windows Ctrl-Break),
// then waits for it.
void StopDevice(Device& device);

// The bridge's end of the line.
using Peer = long long;
constexpr Peer kNoPeer = -1;
// The options that put the device on the test's line, and the start of its "ready" line.
std::vector<std::string> LineArgs();
std::string ReadyText();
// Makes the line ready for a test and puts it away after.
bool PrepareLine();
void PutLineAway();
// Opens the bridge's end raw 9600 8N1 (unless !raw, where the platform leaves the line as it is).
Peer OpenPeer(bool raw = true);
void ClosePeer(Peer& peer);
bool PeerSend(Peer peer, const std::string& bytes);
int Waiting(Peer peer);
// Up to `count` bytes from the line, as many as come before the deadline; nothing beyond them is
// taken from the line.
std::string Receive(Peer peer, std::size_t count, int ms = 3000);
// True when nothing arrives for `ms`.
bool Quiet(Peer peer, int ms);
// The options and the bad line options of this platform, for the command-line cases.
std::vector<std::string> LineOptionNames();
std::vector<std::vector<std::string>> BadLineOptions();
#ifndef _WIN32
// The device's link is still in the test's ports folder.
bool LinkLeftBehind();
#endif

bool WaitForLog(Device& device, const std::string& text, int ms = 3000,
                std::string* line = nullptr);

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Starts the device on the test's line and opens the bridge's end once it is ready.
  void Start(std::vector<std::string> args, bool raw = true);
  // Gives the device a command and waits until it has been done.
  void Tell(const std::string& command);
  void Send(const std::string& bytes);

  std::string ready;
  Device device;
  Peer port = kNoPeer;
};
