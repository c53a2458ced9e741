// okvbridge-check's exchange: one P or R sent on the open port, waited for and read through the
// bridge's own transaction code, and shown as the bridge would take it.
#include <cstring>

#include "bridge/bridge.h"
#include "bridge/exchange.h"
#include "check/port_words.h"
#include "checks.h"
#include "platform/platform.h"
#include "serial/port_access.h"

namespace okvcheck {

namespace {

using checkwords::WithHint;

// While a poll pause of the transaction runs, the line is looked at this often to time the first
// byte; the pause itself keeps the transaction's length.
constexpr std::uint32_t kWatchStepMs = 2;
// The reply's rest has all come once the line stays quiet this long (a byte takes 1 ms at 9600).
constexpr std::uint32_t kQuietMs = 300;
constexpr std::uint32_t kLongestRestMs = 10000;

// The timing of one exchange, kept by the pause that the transaction's wait calls.
std::uint32_t exchangeStart = 0;
bool firstByteSeen = false;
std::uint32_t firstByteMs = 0;

// The transaction's poll pause, of the same length, with a look at the line every few
// milliseconds to time the first byte.
void WatchingPause(std::uint32_t ms) {
  const std::uint32_t begun = platform::TickCount();
  for (;;) {
    const std::uint32_t elapsed = platform::TickCount() - begun;
    if (!firstByteSeen && WaitingCount() > 0) {
      firstByteSeen = true;
      firstByteMs = platform::TickCount() - exchangeStart;
    }
    if (elapsed >= ms) return;
    platform::SleepMs(ms - elapsed < kWatchStepMs ? ms - elapsed : kWatchStepMs);
  }
}

// Takes (and counts) what the device sends after the reply was taken, until the line is quiet.
std::uint64_t TakeTheRest(bool& stillComing) {
  char scratch[4096];
  std::uint64_t rest = 0;
  const std::uint32_t begun = platform::TickCount();
  std::uint32_t lastByte = begun;
  stillComing = false;
  while (platform::TickCount() - lastByte < kQuietMs) {
    if (platform::TickCount() - begun >= kLongestRestMs) {
      stillComing = true;
      break;
    }
    std::uint32_t waiting = WaitingCount();
    if (waiting == 0) {
      platform::SleepMs(10);
      continue;
    }
    if (waiting > sizeof scratch) waiting = sizeof scratch;
    if (ReadWaiting(scratch, waiting) == 0) rest += waiting;
    lastByte = platform::TickCount();
  }
  return rest;
}

std::string DescribeReply(bool replied, std::uint32_t taken, std::uint32_t foundMs) {
  const char* reply = ReplyText();
  std::string text = "reply " + Escape(reply, taken) + " (" + Number(taken) + " bytes";
  if (replied) {
    text += ", the first " + Number(firstByteMs) + " ms after the command, taken at the look " +
            Number(foundMs) + " ms after it";
  }
  text += ")";
  const std::size_t asText = std::strlen(reply);
  if (asText < taken) {
    text += "; the bridge reads it as text up to its first zero byte: " + Escape(reply, asText);
  }
  return text;
}

// The codes the bridge would post for the reply, and whether they mean the device understood.
std::string Posts(char command, bool& understood) {
  const char* reply = ReplyText();
  if (command == 'P') {
    const int code = ClassifyPReply(reply);
    understood = code != 5;
    return "m1000 = " + Number(static_cast<std::uint64_t>(code)) +
           (code == 4          ? " (the reply holds \"Turning On\")"
            : code == 3        ? " (the reply holds \"Sleep\" and not \"Turning On\")"
            : reply[0] == '\0' ? " (no reply)"
                               : " (the reply holds neither \"Turning On\" nor \"Sleep\")");
  }
  const int code = ClassifyRReply(reply);
  understood = code == 8;
  return "l1000 = " + std::to_string(RReplyNumber(reply)) +
         ", then m1000 = " + Number(static_cast<std::uint64_t>(code)) +
         (code == 8          ? " (its second byte is a digit)"
          : reply[0] == '\0' ? " (no reply)"
                             : " (its second byte is not a digit)");
}

}  // namespace

bool CheckExchange(char command, const std::string& subject) {
  const std::uint32_t leftover = WaitingCount();
  SendCommand(command);
  exchangeStart = platform::TickCount();
  firstByteSeen = false;
  const bool replied = AwaitReply(command, WatchingPause);
  const std::uint32_t foundMs = platform::TickCount() - exchangeStart;
  if (replied && !firstByteSeen) firstByteMs = foundMs;
  const std::uint32_t taken = TakeReply();
  bool stillComing = false;
  const std::uint64_t rest = TakeTheRest(stillComing);

  std::string detail;
  if (leftover > 0) {
    detail = Number(leftover) +
             " bytes were waiting before the command, left from an earlier "
             "reply: the bridge takes them as the start of this one; ";
  }
  if (!replied) {
    detail +=
        "no reply within 5000 ms (the bridge prints \"Com timeout\" and posts its time-out "
        "code)";
  }
  if (taken > 0) detail += (replied ? "" : "; then ") + DescribeReply(replied, taken, foundMs);
  if (rest > 0) {
    detail += "; " + std::string(stillComing ? "at least " : "") + Number(rest) +
              " more bytes followed, which the bridge leaves queued to open the next "
              "transaction's reply (it takes 1023 bytes at most)";
  }
  bool understood = false;
  detail += "; the bridge would post " + Posts(command, understood);
  const bool ok = replied && understood;
  if (!ok && !replied) {
    detail = WithHint(detail,
                      "check the cable (a null-modem cable where the device needs one), "
                      "that the device is on, and that it talks 9600 8N1");
  } else if (!ok) {
    detail = WithHint(detail,
                      "the device answered, but not as the bridge expects: check that it "
                      "is the right device, and that it talks 9600 8N1 (garbled bytes "
                      "mean another speed)");
  }
  return Report(ok, subject, detail);
}

}  // namespace okvcheck
