// Port access on Windows (run under Wine): the bridge opens COM5, a pseudo-terminal joined by
// socat to COM6, which the test opens to play the device. COM12, COM12345678 and COM123456789
// are further names of COM5 that only the device-namespace form "\\.\COM<n>" reaches.
//
// The port code's calls of CreateFileA, SetCommState, ClearCommError, WaitCommEvent and
// CreateEventA pass through this test first (the binary is linked with --wrap on their import
// pointers): the test records the device names and line settings asked for, and plays a strict
// driver, a pulled adapter, the event waits Wine gives on an idle line, or a system out of events.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "serial/port_diagnostics.h"
#include "wrapped_import.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

enum class Driver { Plain, RefusesEqualXonXoff, RefusesEverything };
enum class Waits { Real, EmptyMaskAtOnce, AbortedAtOnce, RefusedAtOnce, CharacterAtOnce };

std::mutex recordLock;
std::vector<std::string> openedNames;  // every COM name CreateFileA was asked for
std::vector<DCB> lineSettings;         // every DCB handed to SetCommState
std::atomic<Driver> driver{Driver::Plain};
std::atomic<bool> statusFails{false};
std::atomic<int> eventsToRefuse{0};  // the next CreateEventA calls that fail, out of memory
std::atomic<Waits> waits{Waits::Real};
std::atomic<int> eventWaits{0};
// Transfers the system leaves pending: the next read or write answers "pending" and completes
// kLateMs later from another thread, as a slow driver would.
std::atomic<bool> transfersLate{false};
std::atomic<bool> lateDone{false};
constexpr DWORD kLateMs = 300;
constexpr ULONG_PTR kStatusPending = 0x103;

}  // namespace

extern "C" {
extern decltype(&CreateFileA) realCreateFileA __asm__(OKV_REAL(CreateFileA, 28));
extern decltype(&SetCommState) realSetCommState __asm__(OKV_REAL(SetCommState, 8));
extern decltype(&ClearCommError) realClearCommError __asm__(OKV_REAL(ClearCommError, 12));
extern decltype(&WaitCommEvent) realWaitCommEvent __asm__(OKV_REAL(WaitCommEvent, 12));
extern decltype(&WriteFile) realWriteFile __asm__(OKV_REAL(WriteFile, 20));
extern decltype(&ReadFile) realReadFile __asm__(OKV_REAL(ReadFile, 20));
extern decltype(&CreateEventA) realCreateEventA __asm__(OKV_REAL(CreateEventA, 16));
}

namespace {

HANDLE WINAPI RecordingCreateFileA(LPCSTR name, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                   HANDLE model) {
  if (name != nullptr && std::strstr(name, "COM") != nullptr) {
    std::lock_guard<std::mutex> hold(recordLock);
    openedNames.emplace_back(name);
  }
  return realCreateFileA(name, access, share, security, disposition, flags, model);
}

HANDLE WINAPI MaybeRefusedCreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                                       BOOL initialState, LPCSTR name) {
  int left = eventsToRefuse.load();
  if (left > 0 && eventsToRefuse.compare_exchange_strong(left, left - 1)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return realCreateEventA(security, manualReset, initialState, name);
}

BOOL WINAPI RecordingSetCommState(HANDLE handle, LPDCB dcb) {
  {
    std::lock_guard<std::mutex> hold(recordLock);
    lineSettings.push_back(*dcb);
  }
  const Driver now = driver;
  if (now == Driver::RefusesEverything ||
      (now == Driver::RefusesEqualXonXoff && dcb->XonChar == dcb->XoffChar)) {
    SetLastError(ERROR_INVALID_PARAMETER);  // what USB-serial drivers answer
    return FALSE;
  }
  return realSetCommState(handle, dcb);
}

BOOL WINAPI MaybeFailingClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status) {
  if (statusFails) {
    // A pulled adapter. A failed call's records are not to be trusted: whatever they hold must
    // not be taken for a count, so they are scribbled over here.
    if (status != nullptr) std::memset(status, 0xA5, sizeof *status);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return realClearCommError(handle, errors, status);
}

BOOL WINAPI CountingWaitCommEvent(HANDLE handle, LPDWORD events, LPOVERLAPPED overlapped) {
  ++eventWaits;
  switch (waits.load()) {
    case Waits::EmptyMaskAtOnce:
      *events = 0;
      return TRUE;
    case Waits::AbortedAtOnce:
      SetLastError(ERROR_OPERATION_ABORTED);
      return FALSE;
    case Waits::RefusedAtOnce:
      SetLastError(ERROR_ACCESS_DENIED);  // a pulled USB adapter
      return FALSE;
    case Waits::CharacterAtOnce:
      *events = EV_RXCHAR;  // Wine, while bytes wait unread
      return TRUE;
    case Waits::Real:
      break;
  }
  return realWaitCommEvent(handle, events, overlapped);
}

// Answers "pending" at once and completes the transfer kLateMs later: `bytes` are moved into
// `buffer` (for a read) and the record is then marked done and its event set.
BOOL CompleteLater(LPOVERLAPPED overlapped, char* buffer, const char* bytes, DWORD count) {
  overlapped->Internal = kStatusPending;
  overlapped->InternalHigh = 0;
  lateDone = false;
  std::thread([=] {
    std::this_thread::sleep_for(std::chrono::milliseconds(kLateMs));
    if (buffer != nullptr) std::memcpy(buffer, bytes, count);
    overlapped->InternalHigh = count;
    overlapped->Internal = 0;
    lateDone = true;
    if (overlapped->hEvent != nullptr) SetEvent(overlapped->hEvent);
  }).detach();
  SetLastError(ERROR_IO_PENDING);
  return FALSE;
}

BOOL WINAPI MaybeLateWriteFile(HANDLE handle, LPCVOID bytes, DWORD count, LPDWORD written,
                               LPOVERLAPPED overlapped) {
  if (!transfersLate || overlapped == nullptr) {
    return realWriteFile(handle, bytes, count, written, overlapped);
  }
  return CompleteLater(overlapped, nullptr, nullptr, count);
}

BOOL WINAPI MaybeLateReadFile(HANDLE handle, LPVOID buffer, DWORD count, LPDWORD got,
                              LPOVERLAPPED overlapped) {
  if (!transfersLate || overlapped == nullptr) {
    return realReadFile(handle, buffer, count, got, overlapped);
  }
  static const char late[] = "late reply";
  return CompleteLater(overlapped, static_cast<char*>(buffer), late,
                       count < sizeof late - 1 ? count : sizeof late - 1);
}

}  // namespace

extern "C" {
decltype(&WriteFile) wrappedWriteFile __asm__(OKV_WRAPPED(WriteFile, 20)) = MaybeLateWriteFile;
decltype(&ReadFile) wrappedReadFile __asm__(OKV_WRAPPED(ReadFile, 20)) = MaybeLateReadFile;
decltype(&CreateFileA) wrappedCreateFileA __asm__(OKV_WRAPPED(CreateFileA,
                                                              28)) = RecordingCreateFileA;
decltype(&SetCommState) wrappedSetCommState __asm__(OKV_WRAPPED(SetCommState,
                                                                8)) = RecordingSetCommState;
decltype(&ClearCommError) wrappedClearCommError __asm__(OKV_WRAPPED(ClearCommError, 12)) =
    MaybeFailingClearCommError;
decltype(&CreateEventA) wrappedCreateEventA __asm__(OKV_WRAPPED(CreateEventA,
                                                                16)) = MaybeRefusedCreateEventA;
decltype(&WaitCommEvent) wrappedWaitCommEvent __asm__(OKV_WRAPPED(WaitCommEvent,
                                                                  12)) = CountingWaitCommEvent;
}

namespace {

constexpr auto kDeadline = 5s;

template <typename Condition>
bool Eventually(Condition condition, std::chrono::milliseconds limit = kDeadline) {
  const auto end = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Watcher threads of this process, told apart by their time-critical priority: Wine starts
// threads of its own for pending serial waits, so a plain count would not do.
int Watchers() {
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more != 0;
       more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID != GetCurrentProcessId()) continue;
    const HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
    if (thread == nullptr) continue;
    if (GetThreadPriority(thread) == THREAD_PRIORITY_TIME_CRITICAL) ++count;
    CloseHandle(thread);
  }
  CloseHandle(snapshot);
  return count;
}

std::vector<std::string> OpenedNames() {
  std::lock_guard<std::mutex> hold(recordLock);
  return openedNames;
}

// The device's end of the line, opened without overlapped I/O; reads hand back what is there.
class Device {
 public:
  bool Open() {
    handle_ = realCreateFileA("\\\\.\\COM6", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.ByteSize = 8;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    return realSetCommState(handle_, &dcb) != 0 && SetCommTimeouts(handle_, &timeouts) != 0 &&
           PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR) != 0;
  }
  void Close() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  bool Write(const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) !=
               0 &&
           written == bytes.size();
  }
  // What arrives within `limit`, stopping early once `count` bytes are there.
  std::string Read(std::size_t count, std::chrono::milliseconds limit = kDeadline) {
    std::string got;
    Eventually(
        [&] {
          char chunk[512];
          DWORD n = 0;
          if (ReadFile(handle_, chunk, sizeof chunk, &n, nullptr) != 0) got.append(chunk, n);
          return got.size() >= count;
        },
        limit);
    return got;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

class PortAccess : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device.Open()) << "COM6, the device's side of the pair, does not open: is socat "
                                  "running (pty_pair.sh)?";
    // The pair outlives each test's process: whatever an earlier test left unread goes first.
    const HANDLE port = realCreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << "COM5, the bridge's side of the pair, does not open";
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    CloseHandle(port);
    ASSERT_EQ(Watchers(), 0);
    std::lock_guard<std::mutex> hold(recordLock);
    openedNames.clear();
    lineSettings.clear();
  }
  void TearDown() override {
    driver = Driver::Plain;
    statusFails = false;
    eventsToRefuse = 0;
    waits = Waits::Real;
    transfersLate = false;
    ClosePort();
    device.Close();
  }

  // Sends `bytes` from the device and waits until the bridge's side counts them all.
  void Arrive(const std::string& bytes) {
    ASSERT_TRUE(device.Write(bytes));
    ASSERT_TRUE(Eventually([&] { return WaitingCount() >= bytes.size(); }))
        << "waiting: " << WaitingCount();
  }

  Device device;
};

TEST_F(PortAccess, OpensByThePlainNameFirst) {
  ASSERT_EQ(OpenPort(5), 0);
  EXPECT_EQ(OpenedNames(), std::vector<std::string>{"COM5"});
}

TEST_F(PortAccess, PortReachedOnlyThroughTheDeviceNamespaceOpensAtTheSecondTry) {
  // "COM12" is no device name in the plain form (only COM1..COM9 are): a file of the current
  // folder. The working line shows the second name reached the right device.
  ASSERT_EQ(OpenPort(12), 0);
  EXPECT_EQ(OpenedNames(), (std::vector<std::string>{"COM12", "\\\\.\\COM12"}));
  EXPECT_EQ(LastPortOpening().failedStep, PortStep::kNone) << "the first name's failure stayed";
  EXPECT_STREQ(LastPortOpening().device, "\\\\.\\COM12");
  SendLine("P\n");
  EXPECT_EQ(device.Read(2), "P\n");
}

TEST_F(PortAccess, EightDigitPortStillGetsItsSecondName) {
  ASSERT_EQ(OpenPort(12345678), 0);  // "\\.\COM12345678" is 15 bytes and its zero: it fits
  EXPECT_EQ(OpenedNames(), (std::vector<std::string>{"COM12345678", "\\\\.\\COM12345678"}));
}

TEST_F(PortAccess, NineDigitPortHasNoSecondName) {
  // The device exists under "\\.\COM123456789", but that name does not fit the 16-byte buffer.
  EXPECT_EQ(OpenPort(123456789), -1);
  EXPECT_EQ(OpenedNames(), std::vector<std::string>{"COM123456789"});
  EXPECT_EQ(LastPortOpening().failedStep, PortStep::kOpen);
  EXPECT_STREQ(LastPortOpening().device, "COM123456789");
}

TEST_F(PortAccess, PortWithoutDeviceFailsAfterBothNamesHoldingNothing) {
  // No COM99 anywhere. (Wine opens a port whose dosdevices link points nowhere, and only the
  // line settings then fail: COM1..COM16, pinned by the test prefix, would stop at the first name.)
  EXPECT_EQ(OpenPort(99), -1);
  EXPECT_EQ(OpenedNames(), (std::vector<std::string>{"COM99", "\\\\.\\COM99"}));
  EXPECT_EQ(LastPortOpening().failedStep, PortStep::kOpen);
  EXPECT_EQ(LastPortOpening().error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Watchers(), 0);
  EXPECT_EQ(WaitingCount(), 0u);
  char buffer[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(ReadWaiting(buffer, sizeof buffer), -1);
}

TEST_F(PortAccess, LargestPortNumberIsTriedByItsPlainNameOnly) {
  EXPECT_EQ(OpenPort(4294967295u), -1);
  EXPECT_EQ(OpenedNames(), std::vector<std::string>{"COM4294967295"});
}

TEST_F(PortAccess, LineSettingsAreBuiltFromZero) {
  ASSERT_EQ(OpenPort(5), 0);
  std::vector<DCB> settings;
  {
    std::lock_guard<std::mutex> hold(recordLock);
    settings = lineSettings;
  }
  ASSERT_EQ(settings.size(), 1u);
  unsigned char bytes[sizeof(DCB)];
  std::memcpy(bytes, &settings[0], sizeof bytes);
  ASSERT_EQ(sizeof bytes, 28u);
  // Offsets of the record as the system lays it out, the same for 32 and 64 bits.
  unsigned char expected[28] = {};
  expected[0] = 28;                          // DCBlength
  expected[4] = 0x80, expected[5] = 0x25;    // BaudRate 9600
  expected[8] = 0x01;                        // flags word 0x00000001: binary mode only
  expected[18] = 8;                          // ByteSize; Parity and StopBits 0: none, one
  expected[21] = 0x11, expected[22] = 0x13;  // XonChar, XoffChar
  for (std::size_t i = 0; i < sizeof expected; ++i) {
    EXPECT_EQ(bytes[i], expected[i]) << "byte " << i << " of the DCB";
  }
}

TEST_F(PortAccess, OpensOnADriverThatRefusesEqualXonAndXoffCharacters) {
  driver = Driver::RefusesEqualXonXoff;
  EXPECT_EQ(OpenPort(5), 0);
}

TEST_F(PortAccess, RefusedLineSettingsReleaseThePortAndTheWatcher) {
  driver = Driver::RefusesEverything;
  EXPECT_EQ(OpenPort(5), -1);
  EXPECT_EQ(Watchers(), 0);
  // Why, for the diagnostics tool: taken before the clean-up's own calls could overwrite it.
  EXPECT_EQ(LastPortOpening().failedStep, PortStep::kSettings);
  EXPECT_EQ(LastPortOpening().error, ERROR_INVALID_PARAMETER);
  const HANDLE again =
      realCreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(again, INVALID_HANDLE_VALUE) << "the port was left open";
  if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
}

TEST_F(PortAccess, UnmadeTransferEventIsNamedAndReleasesThePort) {
  eventsToRefuse = 1;  // the first event an opening makes is its transfers'
  EXPECT_EQ(OpenPort(5), -1);
  EXPECT_EQ(Watchers(), 0);
  EXPECT_EQ(LastPortOpening().failedStep, PortStep::kTransferEvent);
  EXPECT_EQ(LastPortOpening().error, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(OpenPort(5), 0) << "the port was left held";
}

TEST_F(PortAccess, SendLineWritesExactlyTheTwoBytes) {
  ASSERT_EQ(OpenPort(5), 0);
  SendLine("R\n");
  EXPECT_EQ(device.Read(3, 500ms), "R\n");
}

TEST_F(PortAccess, FlowControlCharactersTravelAsData) {
  ASSERT_EQ(OpenPort(5), 0);
  SendLine("\x11\x13");
  EXPECT_EQ(device.Read(2), "\x11\x13");
}

TEST_F(PortAccess, CountsAndReadsWaitingBytesLeavingTheRestQueued) {
  ASSERT_EQ(OpenPort(5), 0);
  Arrive("Turning On\r\n");
  EXPECT_EQ(WaitingCount(), 12u);
  char buffer[16] = {};
  ASSERT_EQ(ReadWaiting(buffer, 4), 0);
  EXPECT_EQ(std::string(buffer, 4), "Turn");
  EXPECT_EQ(WaitingCount(), 8u);
}

TEST_F(PortAccess, ReadHandsBackAtOnceWhatIsWaitingWhenAskedForMore) {
  ASSERT_EQ(OpenPort(5), 0);
  Arrive("Sleep");
  char buffer[64];
  std::memset(buffer, '.', sizeof buffer);
  const auto start = Clock::now();
  ASSERT_EQ(ReadWaiting(buffer, sizeof buffer), 0);
  EXPECT_LT(Clock::now() - start, 500ms);
  EXPECT_EQ(std::string(buffer, 6), "Sleep.");
}

TEST_F(PortAccess, ReadWithNothingWaitingFailsAndLeavesTheBufferAlone) {
  ASSERT_EQ(OpenPort(5), 0);
  char buffer[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(ReadWaiting(buffer, sizeof buffer), -1);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
}

TEST_F(PortAccess, EveryByteValueArrivesUnchanged) {
  ASSERT_EQ(OpenPort(5), 0);
  std::string all;
  for (int value = 0; value < 256; ++value) all += static_cast<char>(value);
  Arrive(all);
  std::string got(256, '\0');
  ASSERT_EQ(ReadWaiting(&got[0], 256), 0);
  EXPECT_EQ(got, all);
}

TEST_F(PortAccess, ManyExchangesThroughTheSharedRecordEachGetTheirOwnBytes) {
  // Sends and reads alternate on the one shared record while the watcher's wait is pending on
  // the same handle: every read must hand back its own reply, never a stale count.
  ASSERT_EQ(OpenPort(5), 0);
  for (int round = 0; round < 60; ++round) {
    SendLine(round % 2 == 0 ? "P\n" : "R\n");
    ASSERT_EQ(device.Read(2), round % 2 == 0 ? "P\n" : "R\n") << "round " << round;
    const std::string reply = "reply " + std::to_string(round) + "\r\n";
    Arrive(reply);
    std::string got(reply.size(), '\0');
    ASSERT_EQ(ReadWaiting(&got[0], static_cast<std::uint32_t>(got.size())), 0);
    ASSERT_EQ(got, reply) << "round " << round;
    ASSERT_EQ(WaitingCount(), 0u) << "round " << round;
  }
}

// The shared record has an event of its own. Left empty, completion would be signalled through
// the port handle, which the watcher's pending wait signals too; Wine's GetOverlappedResult then
// answered success with a stale count while the transfer was still pending.
TEST_F(PortAccess, SendLineReturnsOnlyOnceAWriteLeftPendingHasCompleted) {
  ASSERT_EQ(OpenPort(5), 0);
  transfersLate = true;
  const auto start = Clock::now();
  SendLine("P\n");
  EXPECT_TRUE(lateDone) << "SendLine returned while its write was still pending";
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(kLateMs - 50));
}

TEST_F(PortAccess, ReadWaitingHandsBackWhatAReadLeftPendingDelivered) {
  ASSERT_EQ(OpenPort(5), 0);
  Arrive("late reply");
  transfersLate = true;
  char buffer[16] = {};
  ASSERT_EQ(ReadWaiting(buffer, 10), 0);
  EXPECT_TRUE(lateDone) << "ReadWaiting returned while its read was still pending";
  EXPECT_STREQ(buffer, "late reply");
}

TEST_F(PortAccess, StatusThatCannotBeReadCountsAsNothingWaiting) {
  ASSERT_EQ(OpenPort(5), 0);
  Arrive("A42\n");
  statusFails = true;
  EXPECT_EQ(WaitingCount(), 0u);
  char buffer[4] = {'w', 'x', 'y', 'z'};
  EXPECT_EQ(ReadWaiting(buffer, sizeof buffer), -1);
  EXPECT_EQ(std::string(buffer, 4), "wxyz");
  statusFails = false;
  EXPECT_EQ(WaitingCount(), 4u);  // the bytes were never taken
}

TEST_F(PortAccess, ClosePortEndsTheWatcherByReleasingItsWait) {
  ASSERT_EQ(OpenPort(5), 0);
  ASSERT_TRUE(Eventually([&] { return eventWaits > 0; })) << "the watcher never waited";
  EXPECT_EQ(Watchers(), 1);
  const auto start = Clock::now();
  ClosePort();
  // Released, the watcher leaves at once; only a watcher that ignored the release would hold
  // ClosePort for the whole bounded wait before the last resort.
  EXPECT_LT(Clock::now() - start, 1000ms);
  EXPECT_EQ(Watchers(), 0);
  ClosePort();  // nothing left to do the second time
  const HANDLE again =
      realCreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(again, INVALID_HANDLE_VALUE) << "the port was left open";
  if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
}

TEST_F(PortAccess, OpeningAgainReplacesTheEarlierPort) {
  ASSERT_EQ(OpenPort(5), 0);
  ASSERT_EQ(OpenPort(5), 0);
  EXPECT_EQ(Watchers(), 1);
  SendLine("P\n");
  EXPECT_EQ(device.Read(2), "P\n");
}

// Waits that end without an event, as Wine's do on an idle pseudo-terminal and Windows' on a
// pulled adapter: each one made under Wine starts and ends a thread of Wine's, which breaks its
// loader for the runtime library, so the first is the watcher's last. The port goes on working.
class WatcherGivingUp : public PortAccess, public testing::WithParamInterface<Waits> {};

TEST_P(WatcherGivingUp, MakesNoFurtherWaitAndThePortKeepsWorking) {
  waits = GetParam();
  eventWaits = 0;
  ASSERT_EQ(OpenPort(5), 0);
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(eventWaits.load(), 1);
  SendLine("P\n");
  EXPECT_EQ(device.Read(2), "P\n");
  Arrive("Sleep\n");
  char buffer[8] = {};
  EXPECT_EQ(ReadWaiting(buffer, 6), 0);
  EXPECT_STREQ(buffer, "Sleep\n");
  EXPECT_EQ(eventWaits.load(), 1);
  const auto start = Clock::now();
  ClosePort();
  EXPECT_LT(Clock::now() - start, 1000ms);
  EXPECT_EQ(Watchers(), 0);
}

INSTANTIATE_TEST_SUITE_P(Wine, WatcherGivingUp,
                         testing::Values(Waits::EmptyMaskAtOnce, Waits::AbortedAtOnce,
                                         Waits::RefusedAtOnce),
                         [](const testing::TestParamInfo<Waits>& info) {
                           switch (info.param) {
                             case Waits::EmptyMaskAtOnce: return std::string("EmptyMask");
                             case Waits::AbortedAtOnce: return std::string("Aborted");
                             default: return std::string("Refused");
                           }
                         });

TEST_F(PortAccess, WatcherKeepsWatchingWithoutSpinningWhileBytesWaitUnread) {
  // Wine reports EV_RXCHAR at once, again and again, while bytes wait unread; the bridge reads
  // them only every 800 ms. The watcher goes on waiting, at a pace of a few waits a second.
  waits = Waits::CharacterAtOnce;
  eventWaits = 0;
  ASSERT_EQ(OpenPort(5), 0);
  std::this_thread::sleep_for(1s);
  EXPECT_GE(eventWaits.load(), 3);
  EXPECT_LE(eventWaits.load(), 20);
  Arrive("Turning On\n");
  EXPECT_EQ(WaitingCount(), 11u);
}

}  // namespace
