// The fakes behind fuzz_world.h: platform.h, port_access.h and the runtime's entry point.
#include "fuzz_world.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include "bridge/bridge.h"
#include "fuzz_check.h"
#include "platform/platform.h"
#include "runtime/runtime_link.h"
#include "serial/port_access.h"

namespace {

struct Arrival {
  std::uint32_t at;
  std::string bytes;
};

std::uint32_t now = 0;
std::uint32_t sendTime = 0;
std::deque<Arrival> queue;  // in arrival order
std::vector<fuzz_world::Write> writes;
std::vector<fuzz_world::Read> reads;
std::FILE* console = nullptr;
char* consoleText = nullptr;
std::size_t consoleSize = 0;

std::uint32_t Arrived() {
  std::uint32_t count = 0;
  for (const Arrival& arrival : queue) {
    if (arrival.at > now) break;
    count += static_cast<std::uint32_t>(arrival.bytes.size());
  }
  return count;
}

std::uint16_t Word(const std::uint8_t* block, int offset) {
  return static_cast<std::uint16_t>(block[offset] | (block[offset + 1] << 8));
}

// The runtime's side of the block, from its layout alone: a write carries its type in byte 10,
// a flag as a marker in byte 11, and 32-bit values in bytes 12-13, 6 and 11.
extern "C" void FuzzEntryPoint(void* request) {
  auto* block = static_cast<std::uint8_t*>(request);
  const std::uint16_t command = Word(block, 0);
  if (command == 0x0B01) {  // fetch: every request has completed, with result code 0
    std::memset(block, 0, kRequestSize);
    return;
  }
  FUZZ_CHECK(command == 0x0B00, "unknown command word %04x", command);
  if (Word(block, 8) != 0xFFFF && block[7] == 0x01) {
    const int type = block[10];
    const std::uint32_t high = block[11];
    std::int32_t value = 0;
    if (type <= 2) {
      value = high == 0x05 ? -1 : static_cast<std::int32_t>(high);
    } else if (type <= 5) {
      value = Word(block, 12);
    } else {
      value = static_cast<std::int32_t>(
          (high << 24) | (static_cast<std::uint32_t>(block[6]) << 16) | Word(block, 12));
    }
    writes.push_back({type, Word(block, 8), value});
  }
  std::memset(block, 0, kRequestSize);  // accepted; a probe: an executor is installed
}

}  // namespace

namespace fuzz_world {

void Reset() {
  now = 0;
  sendTime = 0;
  queue.clear();
  writes.clear();
  reads.clear();
  if (console != nullptr) std::fclose(console);
  std::free(consoleText);
  consoleText = nullptr;
  consoleSize = 0;
  console = open_memstream(&consoleText, &consoleSize);
  FUZZ_CHECK(console != nullptr, "no memory stream for the console");
  SetConsole(console);
  FUZZ_CHECK(ConnectRuntime(), "the fake runtime did not connect");
}

std::uint32_t Now() {
  return now;
}

void Queue(std::uint32_t atMs, const std::string& bytes) {
  if (bytes.empty()) return;
  auto later = queue.begin();
  while (later != queue.end() && later->at <= atMs) ++later;
  queue.insert(later, Arrival{atMs, bytes});
}

std::size_t Pending() {
  std::size_t count = 0;
  for (const Arrival& arrival : queue) count += arrival.bytes.size();
  return count;
}

std::uint32_t SendTime() {
  return sendTime;
}

const std::vector<Write>& Writes() {
  return writes;
}

const std::vector<Read>& Reads() {
  return reads;
}

std::string Console() {
  std::fflush(console);
  return std::string(consoleText, consoleSize);
}

}  // namespace fuzz_world

// --- platform.h: a clock that moves only when the bridge sleeps ---------------------------------
namespace platform {

std::uint32_t TickCount() {
  return now;
}

void SleepMs(std::uint32_t ms) {
  now += ms;
}

void WaitForKey() {}

const char* RuntimeLibraryName() {
  return "fuzz-runtime";
}

void* OpenLibrary(const char*) {
  static int handle;
  return &handle;
}

void* LibrarySymbol(void*, const char* name) {
  return std::strcmp(name, "KoltEntryPoint") == 0 ? reinterpret_cast<void*>(&FuzzEntryPoint)
                                                  : nullptr;
}

void CloseLibrary(void*) {}

}  // namespace platform

// --- port_access.h: bytes that arrive at their virtual times -----------------------------------
int OpenPort(std::uint32_t) {
  return 0;
}

void ClosePort() {}

void SendLine(const char*) {
  sendTime = now;
}

std::uint32_t WaitingCount() {
  return Arrived();
}

// Hands over exactly what was asked for, up to what has arrived: a bridge that asks for more
// than its buffer holds overruns it here, where the sanitizers see it.
int ReadWaiting(char* buffer, std::uint32_t count) {
  fuzz_world::Read read{count, Arrived(), buffer, {}, now};
  while (read.got.size() < count && !queue.empty() && queue.front().at <= now) {
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
