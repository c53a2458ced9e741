// The virtual-time serial port behind port_access.h in the cycle and transaction tests and the
// fuzz targets.
#include "fake_port.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>

#include "fake_clock.h"
#include "serial/port_access.h"

namespace {

struct Arrival {
  std::uint32_t at;
  std::string bytes;
};

int openResult = 0;
std::vector<std::uint32_t> opened;
std::map<char, std::deque<std::vector<fake_port::Chunk>>> replies;
std::deque<Arrival> queue;  // in arrival order
std::vector<std::uint32_t> polls;
std::vector<fake_port::Read> reads;
std::uint32_t sendTime = 0;
void (*sendObserver)(const std::string&) = nullptr;
std::uint32_t readCapacity = 0;  // 0: no limit
void (*readOverrun)(std::uint32_t, std::uint32_t) = nullptr;

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

void Reset() {
  openResult = 0;
  opened.clear();
  replies.clear();
  queue.clear();
  polls.clear();
  reads.clear();
  sendTime = 0;
}

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

void OnSend(void (*observer)(const std::string& line)) {
  sendObserver = observer;
}

std::uint32_t SendTime() {
  return sendTime;
}

const std::vector<std::uint32_t>& Polls() {
  return polls;
}

const std::vector<Read>& Reads() {
  return reads;
}

std::size_t Pending() {
  std::size_t count = 0;
  for (const Arrival& arrival : queue) count += arrival.bytes.size();
  return count;
}

void LimitReads(std::uint32_t capacity, void (*overrun)(std::uint32_t, std::uint32_t)) {
  readCapacity = capacity;
  readOverrun = overrun;
}

}  // namespace fake_port

int OpenPort(std::uint32_t portNumber) {
  opened.push_back(portNumber);
  return openResult;
}

void ClosePort() {}

void SendLine(const char command[2]) {
  sendTime = fake_clock::Now();
  if (sendObserver != nullptr) sendObserver(std::string(command, 2));
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
  fake_port::Read read{count, Waiting(), buffer, {}, fake_clock::Now()};
  if (readCapacity != 0 && count > readCapacity) {
    if (readOverrun != nullptr) readOverrun(count, readCapacity);
    count = readCapacity;
  }
  while (read.got.size() < count && !queue.empty() && HasArrived(queue.front())) {
    std::string& bytes = queue.front().bytes;
    const std::size_t take = std::min<std::size_t>(count - read.got.size(), bytes.size());
    read.got += bytes.substr(0, take);
    bytes.erase(0, take);
    if (bytes.empty()) queue.pop_front();
  }
  std::memcpy(buffer, read.got.data(), read.got.size());
  reads.push_back(read);
  return read.got.empty() ? -1 : 0;
}
