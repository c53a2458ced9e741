// The reply read of the P and R transactions, through the tests' virtual port: up to 4096 bytes
// arrive in two pieces at chosen times, and two transactions run one after the other. Each read
// takes every waiting byte up to 1023 in arrival order, leaves the rest queued for the next
// transaction, and leaves the 1024-byte reply buffer zero from the end of what it took; the
// console shows the text and the mailbox gets the codes and number that text calls for.
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bridge/bridge.h"
#include "fuzz_check.h"
#include "fuzz_world.h"

namespace {

constexpr std::size_t kReplyBuffer = 1024;
constexpr std::uint32_t kReplyWaitMs = 5000;
// Arrival times after the first command: waiting already, at or around a P poll (800 ms apart),
// at the limit, after it, and during the second transaction.
constexpr std::uint32_t kArrivals[8] = {0, 150, 800, 1601, 4999, 5000, 5400, 9000};

int Classify(const std::string& text) {
  if (text.find("Turning On") != std::string::npos) return 4;
  if (text.find("Sleep") != std::string::npos) return 3;
  return 5;
}

std::int32_t Atoi(const char* text) {
  const long long wide = std::strtoll(text, nullptr, 10);
  return static_cast<std::int32_t>(wide > INT32_MAX   ? INT32_MAX
                                   : wide < INT32_MIN ? INT32_MIN
                                                      : wide);
}

bool SameWrite(const fuzz_world::Write& write, int type, std::int32_t value) {
  return write.type == type && write.index == 1000 && write.value == value;
}

// Runs one transaction and checks it; `stream` is every byte the device sends, in arrival order,
// and `taken` how many of them earlier transactions read.
void RunAndCheck(bool r, const std::string& stream, std::size_t& taken) {
  const std::size_t readsBefore = fake_port::Reads().size();
  const std::size_t writesBefore = fuzz_world::Writes().size();
  const std::size_t consoleBefore = fuzz_world::Console().size();
  if (r) {
    RunRTransaction();
  } else {
    RunPTransaction();
  }

  FUZZ_CHECK(fake_port::Reads().size() == readsBefore + 1, "%zu reads",
             fake_port::Reads().size() - readsBefore);
  const fake_port::Read& read = fake_port::Reads().back();
  FUZZ_CHECK(read.asked <= kReplyBuffer - 1, "asked for %u bytes", read.asked);
  const std::size_t expectedSize =
      read.waiting < kReplyBuffer - 1 ? read.waiting : kReplyBuffer - 1;
  FUZZ_CHECK(read.got.size() == expectedSize, "took %zu of %u waiting", read.got.size(),
             read.waiting);
  FUZZ_CHECK(stream.compare(taken, read.got.size(), read.got) == 0,
             "the bytes taken are not the next %zu of the stream", read.got.size());
  taken += read.got.size();
  FUZZ_CHECK(fake_port::Pending() == stream.size() - taken, "%zu bytes queued, expected %zu",
             fake_port::Pending(), stream.size() - taken);
  FUZZ_CHECK(std::memcmp(read.buffer, read.got.data(), read.got.size()) == 0,
             "the buffer does not hold what was read");
  for (std::size_t i = read.got.size(); i < kReplyBuffer; ++i)
    FUZZ_CHECK(read.buffer[i] == 0, "buffer byte %zu is %d after a read of %zu", i, read.buffer[i],
               read.got.size());

  const std::string text(read.buffer);  // zero-terminated: the check above bounds it
  const std::string console = fuzz_world::Console().substr(consoleBefore);
  const bool timedOut = console.compare(0, 12, "Com timeout\n") == 0;
  const std::uint32_t poll = r ? 200 : 800;
  const std::uint32_t elapsed = read.at - fake_port::SendTime();
  if (timedOut) {
    FUZZ_CHECK(elapsed >= kReplyWaitMs, "timeout after %u ms", elapsed);
  } else {
    FUZZ_CHECK(read.waiting > 0, "the wait ended with nothing waiting");
    FUZZ_CHECK(elapsed < kReplyWaitMs + poll, "read after %u ms without a timeout", elapsed);
  }
  const std::string shown = (timedOut ? "Com timeout\n[" : "[") + text + "]";
  FUZZ_CHECK(console == shown, "console \"%s\", expected \"%s\"", console.c_str(), shown.c_str());

  const auto& writes = fuzz_world::Writes();
  std::size_t w = writesBefore;
  const auto next = [&](int type, std::int32_t value) {
    FUZZ_CHECK(w < writes.size() && SameWrite(writes[w], type, value),
               "write %zu: expected type %d value %d", w - writesBefore, type, value);
    ++w;
  };
  next(5, r ? 7 : 2);
  const int timeoutCode = r ? 9 : 5;
  if (timedOut) next(5, timeoutCode);
  // The runtime here takes every write, so a result equal to the time-out code is not written
  // again: it is in m1000 already.
  int code = Classify(text);
  if (r) {
    // The tag byte is skipped whatever it is, as the reply's number and code are defined.
    next(7, Atoi(read.buffer + 1));
    code = read.buffer[1] >= '0' && read.buffer[1] <= '9' ? 8 : 9;
  }
  if (!timedOut || code != timeoutCode) next(5, code);
  FUZZ_CHECK(w == writes.size(), "%zu writes more than expected", writes.size() - w);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Input: one byte of choices (bit 0: first transaction R, bit 1: second R, bits 2-4 and 5-7:
  // arrival times of the two pieces), two bytes for where the payload splits, then the payload.
  if (size < 3 || size > 3 + 4096) return 0;
  const std::string payload(reinterpret_cast<const char*>(data + 3), size - 3);
  const std::size_t split = (data[1] | (data[2] << 8)) % (payload.size() + 1);
  const std::uint32_t at1 = kArrivals[(data[0] >> 2) & 7];
  const std::uint32_t at2 = kArrivals[(data[0] >> 5) & 7];
  const std::string first = payload.substr(0, split);
  const std::string second = payload.substr(split);

  fuzz_world::Reset();
  fake_port::Arrive(at1, first);
  fake_port::Arrive(at2, second);
  const std::string stream = at2 < at1 ? second + first : first + second;
  std::size_t taken = 0;
  RunAndCheck((data[0] & 1) != 0, stream, taken);
  RunAndCheck((data[0] & 2) != 0, stream, taken);
  return 0;
}
