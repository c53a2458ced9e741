// The P and R device transactions: acknowledge in m1000, send the command, wait up to five
// seconds for the reply, read it and post the outcome (m1000, and l1000 for R).
#include <cstring>

#include "bridge/bridge.h"
#include "bridge/exchange.h"
#include "platform/platform.h"
#include "runtime/runtime_link.h"
#include "serial/port_access.h"

namespace {

constexpr std::uint32_t kReplyWaitMs = 5000;
constexpr std::size_t kReplySize = 1024;

// Which mailbox writes report an error: every nonzero status, or only those with a nonzero high
// byte, so that result codes 1 to 255 from the runtime pass silently.
enum class Report { AnyError, HighByteOnly };

struct TransactionRow {
  int acknowledgement;
  Report acknowledgementReport;
  char command[2];
  std::uint32_t pollMs;
  int timeoutCode;
};

constexpr TransactionRow kP{2, Report::AnyError, {'P', '\n'}, 800, 5};
constexpr TransactionRow kR{7, Report::HighByteOnly, {'R', '\n'}, 200, 9};

char reply[kReplySize];

bool HasHighByte(StatusCode status) {
  return (status & 0xFF00u) != 0;
}

// Writes `value` to the mailbox variable `name` and reports a failure by `rule`. Answers the
// write's status: 0 only when the runtime completed it with result code 0, a refusal word being
// never 0.
StatusCode PostVar(const char* name, std::int32_t value, Report rule) {
  StatusCode status = kStatusNotParsed;
  VarRef ref{};
  if (ParseVarRef(name, ref)) WriteVar(ref, value, status);
  const bool reported = rule == Report::AnyError ? status != 0 : HasHighByte(status);
  if (reported)
    Say("Erreur %x \xE0 l'\xE9"
        "criture de %s\n",
        status, name);
  return status;
}

const TransactionRow& RowOf(char command) {
  return command == 'R' ? kR : kP;
}

// Sends the row's command and fills `reply` with what the device answered (maybe nothing).
// Answers the time-out code when the runtime took it, 0 otherwise. The application may write its
// next request over a result the moment it sees it, so a code already posted must not be written
// a second time: that write would land on the new request and lose it.
int Exchange(const TransactionRow& row) {
  PostVar("m1000", row.acknowledgement, row.acknowledgementReport);
  SendLine(row.command);
  int posted = 0;
  if (!AwaitReply(row.command[0], platform::SleepMs)) {
    Say("Com timeout\n");
    if (PostVar("m1000", row.timeoutCode, Report::HighByteOnly) == 0) posted = row.timeoutCode;
    // The read still takes whatever arrived after the last poll.
  }
  TakeReply();
  return posted;
}

// Posts the result code unless the time-out already posted that very code.
void PostResult(int code, int posted) {
  if (code != posted) PostVar("m1000", code, Report::HighByteOnly);
}

}  // namespace

void SendCommand(char command) {
  SendLine(RowOf(command).command);
}

bool AwaitReply(char command, void (*pause)(std::uint32_t ms)) {
  const std::uint32_t pollMs = RowOf(command).pollMs;
  const std::uint32_t t0 = platform::TickCount();
  for (;;) {
    if (platform::TickCount() - t0 >= kReplyWaitMs) return false;
    pause(pollMs);
    if (WaitingCount() > 0) return true;
  }
}

std::uint32_t TakeReply() {
  // One byte is kept for the terminating zero; what does not fit stays queued and opens the next
  // transaction's reply.
  std::memset(reply, 0, sizeof reply);
  std::uint32_t count = WaitingCount();
  if (count > kReplySize - 1) count = kReplySize - 1;
  ReadWaiting(reply, count);
  return count;
}

const char* ReplyText() {
  return reply;
}

int ClassifyPReply(const char* text) {
  int code = 5;
  if (std::strstr(text, "Sleep") != nullptr) code = 3;
  if (std::strstr(text, "Turning On") != nullptr) code = 4;
  return code;
}

void RunPTransaction() {
  const int posted = Exchange(kP);
  Say("[%s]", reply);
  PostResult(ClassifyPReply(reply), posted);
}

void RunRTransaction() {
  const int posted = Exchange(kR);
  const std::int32_t number = RReplyNumber(reply);
  Say("[%s]", reply);
  if (HasHighByte(PostVar("l1000", number, Report::HighByteOnly))) return;
  PostResult(ClassifyRReply(reply), posted);
}

// The first byte is the reply's tag and is skipped whatever it is, a zero byte included; text[1]
// exists even for an empty reply, since the buffer is zeroed.
std::int32_t RReplyNumber(const char* text) {
  return AtoiValue(text + 1);
}

int ClassifyRReply(const char* text) {
  return text[1] >= '0' && text[1] <= '9' ? 8 : 9;
}
