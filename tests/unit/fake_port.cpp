// The virtual-time serial port behind port_access.h in the cycle and transaction tests.
#include "fake_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>

#include "fake_clock.h"
#include "serial/port_access.h"
#include "timeline.h"

namespace {

struct Arrival {
  std::uint32_t at;
  std::string bytes;
};

int openResult = 0;
std::vector<std::uint32_t> opened;
std::map<char, std::deque<std::vector<fake_port::Chunk>>> replies;
std::deque<Arrival> queue;  // in arrival order
// The bridge's reply buffer is 1024 bytes and must stay zero-terminated: a read may fill 1023.
constexpr std::uint32_t kReadCapacity = 1023;
std::vector<std::uint32_t> polls;

// Unsigned difference, like the bridge's own, so that scripts hold across the tick wrap.
bool HasArrived(const Arrival& arrival) {
  return static_cast<std::int32_t>(fake_clock::Now() - arrival.at) >= 0;
}

void Schedule(std::uint32_t afterMs, const std::string& bytes) {
  Arrival arrival{fake_clock::Now() + afterMs, bytes};
  auto later = std::find_if(queue.begin(), queue.end(), [&](const Arrival& queued) {
    return static_cast<std::int32_t>(queued.at - arrival.at) > 0;
  });
  queue.insert(later, arrival);
}

std::uint32_t Waiting() {
  std::uint32_t count = 0;
  for (const Arrival& arrival : queue) {
    if (!HasArrived(arrival)) break;
    count += static_cast<std::uint32_t>(arrival.bytes.size());
  }
  return count;
}

}  // namespace

namespace fake_port {

void SetOpenResult(int result) {
  openResult = result;
}
const std::vector<std::uint32_t>& Opened() {
  return opened;
}

void ReplyTo(char letter, std::vector<Chunk> chunks) {
  replies[letter].push_back(std::move(chunks));
}

void Arrive(std::uint32_t afterMs, const std::string& bytes) {
  Schedule(afterMs, bytes);
}

const std::vector<std::uint32_t>& Polls() {
  return polls;
}

std::size_t Pending() {
  std::size_t count = 0;
  for (const Arrival& arrival : queue) count += arrival.bytes.size();
  return count;
}

}  // namespace fake_port

int OpenPort(std::uint32_t portNumber) {
  opened.push_back(portNumber);
  return openResult;
}

void ClosePort() {}

void SendLine(const char command[2]) {
  const std::string line(command, 2);
  timeline::Note("send " + line);
  auto script = replies.find(command[0]);
  if (script == replies.end() || script->second.empty()) return;
  for (const fake_port::Chunk& chunk : script->second.front()) Schedule(chunk.afterMs, chunk.bytes);
  script->second.pop_front();
}

std::uint32_t WaitingCount() {
  polls.push_back(fake_clock::Now());
  return Waiting();
}

int ReadWaiting(char* buffer, std::uint32_t count) {
  EXPECT_LE(count, kReadCapacity) << "ReadWaiting asked to write past the caller's buffer";
  count = std::min(count, kReadCapacity);
  std::string got;
  while (got.size() < count && !queue.empty() && HasArrived(queue.front())) {
    std::string& bytes = queue.front().bytes;
    const std::size_t take = std::min<std::size_t>(count - got.size(), bytes.size());
    got += bytes.substr(0, take);
    bytes.erase(0, take);
    if (bytes.empty()) queue.pop_front();
  }
  if (got.empty()) return -1;
  std::memcpy(buffer, got.data(), got.size());
  return 0;
}
