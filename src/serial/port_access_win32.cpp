// The serial port on Windows: COM<n> opened for overlapped I/O, the line set from a DCB built from
// zero (9600 8N1, no flow control), a receive watcher thread at time-critical priority, and reads
// and writes through one shared overlapped record. The names tried and the order of an opening
// are port_access.cpp's.
#include <windows.h>

#include <cstring>

#include "port_os.h"
#include "serial/port_access.h"
#include "serial/port_diagnostics.h"

namespace {

constexpr DWORD kQueueSize = 4096;
constexpr DWORD kWatchMask = EV_RXCHAR | EV_TXEMPTY;
// A transfer the system leaves pending gets this long before it is cancelled; at 9600 baud two
// bytes take 2 ms, so only a stuck driver ever reaches it.
constexpr DWORD kTransferWaitMs = 2000;
// How long ClosePort waits for the released watcher before the last resort.
constexpr DWORD kWatcherEndMs = 2000;
// Watcher back-off: a wait that completes within kQuickMs of being made did not really wait.
// Under Wine EV_RXCHAR is level-triggered: with a few bytes waiting unread (the bridge reads only
// every 800 ms) a watcher that waits again at once is woken thousands of times a second, at
// time-critical priority. The watcher has no effect the bridge depends on, so it may sleep.
constexpr DWORD kQuickMs = 5;
constexpr DWORD kFirstBackOffMs = 10;
constexpr DWORD kLongestBackOffMs = 250;

HANDLE portHandle = INVALID_HANDLE_VALUE;
HANDLE watcherThread = nullptr;
// Set by ClosePort to release the watcher from its waits and back-off sleeps.
HANDLE watcherStop = nullptr;

// The record every read and write goes through. It has an event of its own: with the event field
// empty, completion is signalled through the port handle, which the watcher's pending wait also
// signals, and Wine's GetOverlappedResult then answers success with a stale count while the
// transfer is still pending.
OVERLAPPED io{};

// The watcher's own record. It lives here rather than on the watcher's stack so that a pending
// wait never points into a stack that is gone, even after the last-resort TerminateThread.
OVERLAPPED watchIo{};

// The line as okvbridge-check found it, when it asked for it to be kept.
bool haveSavedSettings = false;
DCB savedState{};
COMMTIMEOUTS savedTimeouts{};

// Takes the system's error of the call that just failed: call it before any clean-up.
void NoteLastError(PortStep step) {
  portos::NoteFailure(step, static_cast<int>(GetLastError()));
}

void SaveLine(HANDLE handle) {
  savedState.DCBlength = sizeof savedState;
  haveSavedSettings =
      GetCommState(handle, &savedState) != 0 && GetCommTimeouts(handle, &savedTimeouts) != 0;
}

bool ApplyLineSettings(HANDLE handle) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);  // reserved fields and bit fields included
  dcb.DCBlength = 28;
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;  // the only flag set: the flags word is 0x00000001
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  // XON/XOFF is off, so these never act on the line; but SetCommState is documented to fail when
  // the two are equal, and USB-serial drivers do reject a zeroed pair (error 87).
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  if (SetCommState(handle, &dcb) != 0) return true;
  NoteLastError(PortStep::kSettings);
  return false;
}

// Reads hand back what is already waiting, at once; the transactions only ever read what
// WaitingCount announced.
void ReturnReadsAtOnce(HANDLE handle) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  SetCommTimeouts(handle, &timeouts);
}

// Waits for the transfer just started on the shared record to complete, cancelling it after a
// bounded time; either way it has completed (and no longer touches its buffer) on return.
// Answers the number of bytes moved. CancelIo (XP has no CancelIoEx) takes back what this thread
// started on the port: the transfer, since the watcher's wait is the watcher's own.
DWORD CompleteTransfer(BOOL started) {
  DWORD moved = 0;
  if (started != 0) {
    GetOverlappedResult(portHandle, &io, &moved, FALSE);
    return moved;
  }
  if (GetLastError() != ERROR_IO_PENDING) return 0;
  if (WaitForSingleObject(io.hEvent, kTransferWaitMs) != WAIT_OBJECT_0) {
    CancelIo(portHandle);
  }
  GetOverlappedResult(portHandle, &io, &moved, TRUE);  // a failed transfer moved what it says
  return moved;
}

// Zeroes the shared record before SendLine or ReadWaiting starts a transfer on it: the system asks
// for a record whose unused fields are zero (a port has no file offset), with nothing left from the
// last transfer. The event is put back: it is made once when the port opens and closed with it,
// and the record must always carry it (see `io`). It needs no reset here: ReadFile and WriteFile
// set it to non-signalled themselves as they start.
void ResetRecord() {
  HANDLE event = io.hEvent;
  std::memset(&io, 0, sizeof io);
  io.hEvent = event;
}

// Sleeps `ms` unless ClosePort asks the watcher to end first; answers true when it does.
bool StopRequested(DWORD ms) {
  return WaitForSingleObject(watcherStop, ms) == WAIT_OBJECT_0;
}

// How one wait for a port event ended.
enum class Waited {
  Event,     // an event came after a real wait
  AtOnce,    // an event, but answered without waiting (bytes already waiting unread)
  NoEvents,  // refused, aborted or ended with an empty mask: this line gives no events
  Stop,      // ClosePort asks the watcher to end
};

// Makes one overlapped WaitCommEvent and waits for it or for the stop request.
Waited WaitOnce(HANDLE ownEvent) {
  DWORD events = 0;
  std::memset(&watchIo, 0, sizeof watchIo);
  watchIo.hEvent = ownEvent;
  const DWORD begun = GetTickCount();
  bool completed = WaitCommEvent(portHandle, &events, &watchIo) != 0;
  if (!completed) {
    if (GetLastError() != ERROR_IO_PENDING) return Waited::NoEvents;  // refused at once
    const HANDLE waits[2] = {watcherStop, ownEvent};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
      // Stop asked (or the wait itself broke): take the pending wait back before leaving, so that
      // nothing completes into the record afterwards. This thread started it, so CancelIo reaches
      // it on every Windows.
      CancelIo(portHandle);
      DWORD ignored = 0;
      GetOverlappedResult(portHandle, &watchIo, &ignored, TRUE);
      return Waited::Stop;
    }
    DWORD ignored = 0;
    completed = GetOverlappedResult(portHandle, &watchIo, &ignored, FALSE) != 0;
  }
  if (!completed || events == 0) return Waited::NoEvents;
  if ((events & EV_RXCHAR) != 0) {
    // Also clears a pending line error; the status itself is not needed here.
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(portHandle, &errors, &status);
  }
  return GetTickCount() - begun < kQuickMs ? Waited::AtOnce : Waited::Event;
}

// The first wait that is refused, aborted or ends without an event is the watcher's last; the
// watcher then only sleeps until ClosePort releases it. This is for Wine 8, whose loader such
// waits would otherwise break:
//
// Wine 8 hands an overlapped WaitCommEvent that it cannot answer at once to a thread of its own,
// started for that one wait (ntdll's serial code: wait_on starts wait_for_event). That thread
// polls the line every millisecond and, when the wait ends, terminates itself directly, without
// the loader's thread shutdown, so it stays on the loader's list of threads with thread-local
// storage. Once one more thread has ended, its memory is freed, and the next thread started gets
// that memory back zeroed. Loading a DLL with a TLS directory (every mingw-w64 DLL, and any MSVC
// DLL with thread_local or __declspec(thread)) walks that list and writes into each thread's TLS
// array: through the zeroed entry, a write to address 4 (8 on 64 bits), and the bridge dies in
// LoadLibraryA. Later Wine loaders skip such threads; Wine 8.0 does not.
//
// On a pseudo-terminal, or any line whose modem status Wine cannot read, every wait that has to
// wait ends aborted within a millisecond; a watcher that waited again would start and end such a
// thread a few times a second, and the runtime library, loaded a second after the port opened,
// would crash the bridge. Giving up leaves at most one such thread ended, which keeps the list
// sound. On a line whose waits work, the watcher waits again after each event: until the runtime
// library is connected the bridge sends nothing, and bytes a device sends stay waiting unread,
// so Wine answers those waits at once, without a thread; once connected, the bridge loads no
// library again.
//
// On Windows a wait ends that way only when the line is gone for good (a pulled USB adapter's
// handle never works again) or its mask was emptied (ClosePort alone does that). Nothing the
// bridge does depends on the watcher: WaitingCount and ReadWaiting read the port's status
// themselves. So giving up costs nothing there, and on a working port the watcher waits for port
// events for as long as the port is open.
DWORD WINAPI ReceiveWatcher(LPVOID) {
  const HANDLE ownEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);  // auto-reset, unnamed
  if (ownEvent == nullptr) return 0;  // nothing the bridge depends on is lost
  SetCommMask(portHandle, kWatchMask);
  DWORD backOff = 0;
  for (;;) {
    const Waited waited = WaitOnce(ownEvent);
    if (waited == Waited::Stop) break;
    if (waited == Waited::NoEvents) {
      WaitForSingleObject(watcherStop, INFINITE);
      break;
    }
    if (waited == Waited::Event) {
      backOff = 0;
      continue;
    }
    backOff = backOff == 0 ? kFirstBackOffMs : backOff * 2;
    if (backOff > kLongestBackOffMs) backOff = kLongestBackOffMs;
    if (StopRequested(backOff)) break;
  }
  CloseHandle(ownEvent);
  return 0;
}

// Starts the watcher; false, with the failure noted, when it cannot be started.
bool StartWatcher() {
  watcherStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (watcherStop != nullptr) {
    watcherThread = CreateThread(nullptr, 0, ReceiveWatcher, nullptr, 0, nullptr);
  }
  if (watcherThread == nullptr) {
    NoteLastError(PortStep::kWatcher);
    return false;
  }
  SetThreadPriority(watcherThread, THREAD_PRIORITY_TIME_CRITICAL);  // a refusal is harmless
  return true;
}

void CloseIfSet(HANDLE& handle) {
  if (handle != nullptr) CloseHandle(handle);
  handle = nullptr;
}

void EndWatcher() {
  if (watcherThread == nullptr) return;
  // Release the watcher's wait two ways: its stop event (on which the watcher cancels its own wait)
  // and an empty event mask (which completes a pending WaitCommEvent); then give it a bounded time
  // to leave by itself. No cancel from here: XP cancels only a thread's own I/O. TerminateThread
  // would leave its pending wait dangling, so it is only the last resort.
  if (watcherStop != nullptr) SetEvent(watcherStop);
  SetCommMask(portHandle, 0);
  if (WaitForSingleObject(watcherThread, kWatcherEndMs) != WAIT_OBJECT_0) {
    TerminateThread(watcherThread, 0);
    WaitForSingleObject(watcherThread, kWatcherEndMs);
  }
  CloseIfSet(watcherThread);
}

}  // namespace

namespace portos {

bool OpenDevice(const char* name) {
  portHandle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0 /* unshared */, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (portHandle == INVALID_HANDLE_VALUE) {
    NoteLastError(PortStep::kOpen);
    return false;
  }
  if (KeepingLine()) SaveLine(portHandle);
  return true;
}

bool SetUpLine() {
  SetupComm(portHandle, kQueueSize, kQueueSize);  // a refusal is ignored
  io.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (io.hEvent == nullptr) {
    NoteLastError(PortStep::kTransferEvent);
    return false;
  }
  if (!ApplyLineSettings(portHandle) || !StartWatcher()) return false;
  ReturnReadsAtOnce(portHandle);
  return true;
}

}  // namespace portos

void ClosePort() {
  EndWatcher();
  CloseIfSet(watcherStop);
  if (portHandle != INVALID_HANDLE_VALUE) {
    CloseHandle(portHandle);
    portHandle = INVALID_HANDLE_VALUE;
  }
  CloseIfSet(io.hEvent);
}

void SendLine(const char command[2]) {
  if (portHandle == INVALID_HANDLE_VALUE) return;
  ResetRecord();
  // A failed write is not reported: the wait for the reply then times out.
  CompleteTransfer(WriteFile(portHandle, command, 2, nullptr, &io));
  FlushFileBuffers(portHandle);
}

std::uint32_t WaitingCount() {
  if (portHandle == INVALID_HANDLE_VALUE) return 0;
  DWORD errors = 0;
  COMSTAT status{};
  // A failed call (a pulled adapter) leaves the record untouched: nothing is waiting then.
  if (ClearCommError(portHandle, &errors, &status) == 0) return 0;
  return status.cbInQue;
}

int ReadWaiting(char* buffer, std::uint32_t count) {
  if (WaitingCount() == 0) return -1;
  ResetRecord();
  const DWORD got = CompleteTransfer(ReadFile(portHandle, buffer, count, nullptr, &io));
  return got != 0 ? 0 : -1;
}

void RestoreLineSettings() {
  if (portHandle == INVALID_HANDLE_VALUE || !haveSavedSettings) return;
  SetCommState(portHandle, &savedState);
  SetCommTimeouts(portHandle, &savedTimeouts);
  haveSavedSettings = false;
}
