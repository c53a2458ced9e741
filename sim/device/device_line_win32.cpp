// The simulated device's line on Windows: a COM port opened for overlapped I/O and set from a DCB
// built from zero (9600 8N1, no flow control); standard input read on a thread of its own (a
// console or a pipe cannot be waited on together with a port); Ctrl-C, Ctrl-Break and the
// console's close caught by a console control handler. One WaitForMultipleObjects waits for all.
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device_line.h"

namespace {

constexpr DWORD kChunk = 4096;
// What LineStop gives a reply still on its way out, and the input thread to let go.
constexpr DWORD kLastWriteMs = 2000;

HANDLE port = INVALID_HANDLE_VALUE;
std::string portName;    // COM<n>, as the user gave it (upper case)
std::string devicePath;  // \\.\COM<n>: the only form that reaches ports above COM9

// One read at a time is pending on the port. It asks for a single byte with no timeouts, so it
// completes when a byte arrives: the wait happens in the system (under Wine, in its server's poll
// of the line), without a helper thread and without polling. What else is waiting is then taken
// at once by a second read sized from the port's status.
OVERLAPPED readIo{};
char readByte = 0;
bool readPending = false;

// The write in flight, from a buffer of our own; the next one starts once it is done.
OVERLAPPED writeIo{};
std::string writeBuffer;
bool writePending = false;

// Standard input, as the input thread hands it over.
CRITICAL_SECTION inputLock;
HANDLE inputEvent = nullptr;  // manual reset: set while `inputQueue` or `inputEnded` waits
std::string inputQueue;
bool inputEnded = false;
bool inputTaken = false;  // the end was handed to the core

// The console control handler's word: what asks the device to end.
HANDLE interruptEvent = nullptr;
const char* volatile interruptName = nullptr;

std::string SystemText(DWORD error) {
  char text[256] = {};
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                     MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), text, sizeof text, nullptr);
  std::string out(text, length);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) {
    out.pop_back();
  }
  if (out.empty()) out = "system error";
  return out + " (error " + std::to_string(error) + ")";
}

DWORD WINAPI ReadInput(LPVOID) {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char buffer[kChunk];
  for (;;) {
    DWORD got = 0;
    const BOOL read = in != nullptr && in != INVALID_HANDLE_VALUE &&
                      ReadFile(in, buffer, sizeof buffer, &got, nullptr) != 0;
    EnterCriticalSection(&inputLock);
    // A console hands over 0 bytes for Ctrl-Z; a pipe ends with an error (ERROR_BROKEN_PIPE).
    if (read && got > 0)
      inputQueue.append(buffer, got);
    else
      inputEnded = true;
    SetEvent(inputEvent);
    const bool ended = inputEnded;
    LeaveCriticalSection(&inputLock);
    if (ended) return 0;
  }
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      interruptName = "Ctrl-C";
      break;
    case CTRL_BREAK_EVENT:
      interruptName = "Ctrl-Break";
      break;
    case CTRL_CLOSE_EVENT:
      interruptName = "console closed";
      break;
    case CTRL_LOGOFF_EVENT:
      interruptName = "logoff";
      break;
    default:
      interruptName = "shutdown";
      break;
  }
  SetEvent(interruptEvent);
  // After a close, logoff or shutdown the system ends the process as soon as this returns: wait
  // here for the main thread, which ends it itself, with exit code 0, once its log is written.
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) Sleep(INFINITE);
  return TRUE;
}

// Accepts COM<n> (any case), n from 1 up; answers the name in upper case, empty when it is not one.
std::string PortName(const std::string& text) {
  if (text.size() < 4 || text.size() > 13) return "";
  std::string name;
  for (char c : text.substr(0, 3))
    name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (name != "COM") return "";
  const std::string digits = text.substr(3);
  if (digits[0] == '0') return "";
  for (char c : digits) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return "";
  }
  if (std::strtoull(digits.c_str(), nullptr, 10) > 0xFFFFFFFFULL) return "";
  return name + digits;
}

// Raw 9600 8N1 without flow control. DTR and RTS are held up, as a powered device holds its
// lines while it is plugged in; the bridge pays them no attention.
bool SetLine(HANDLE handle) {
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);  // reserved fields and bit fields included
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  // XON/XOFF is off, so these never act on the line; SetCommState refuses a pair that is equal.
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  if (SetCommState(handle, &dcb) == 0) return false;
  // No timeouts at all: a read completes when the bytes it asks for are there, a write when it
  // is all on its way.
  COMMTIMEOUTS timeouts{};
  return SetCommTimeouts(handle, &timeouts) != 0;
}

// Answers an error text, empty when done; `usage` tells whether the fault is the caller's.
std::string OpenPort(bool& usage) {
  port = CreateFileA(devicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0 /* unshared */, nullptr,
                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    usage = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
            error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return portName + ": no such port";
    }
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
      return portName + ": held by another program (" + SystemText(error) + ")";
    }
    return portName + ": cannot open: " + SystemText(error);
  }
  SetupComm(port, kChunk, kChunk);  // a refusal is harmless
  if (!SetLine(port)) {
    const std::string error = portName + ": cannot set up the line: " + SystemText(GetLastError());
    CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    return error;
  }
  PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);  // nothing from before the device was there
  readPending = false;
  writePending = false;
  return "";
}

// Takes the write in flight back once it is done; nothing of it is pending on return.
void EndWrite() {
  if (!writePending) return;
  DWORD moved = 0;
  GetOverlappedResult(port, &writeIo, &moved, TRUE);
  writePending = false;
}

void ClosePort() {
  if (port == INVALID_HANDLE_VALUE) return;
  // The read and the write were both started on this thread, the only one that touches the port:
  // CancelIo (XP has no CancelIoEx) takes both back.
  CancelIo(port);
  DWORD moved = 0;
  if (readPending) GetOverlappedResult(port, &readIo, &moved, TRUE);
  EndWrite();
  readPending = false;
  CloseHandle(port);
  port = INVALID_HANDLE_VALUE;
}

// Starts the one-byte read unless one is pending. Answers false when the port refuses reads.
bool StartRead(std::string& got) {
  if (readPending) return true;
  ResetEvent(readIo.hEvent);
  HANDLE event = readIo.hEvent;
  std::memset(&readIo, 0, sizeof readIo);
  readIo.hEvent = event;
  DWORD moved = 0;
  if (ReadFile(port, &readByte, 1, &moved, &readIo) != 0) {
    if (moved == 1) got += readByte;
    return true;  // answered at once: the caller comes back for more
  }
  if (GetLastError() != ERROR_IO_PENDING) return false;
  readPending = true;
  return true;
}

// What is waiting beyond the byte just read, taken without waiting.
void TakeWaiting(std::string& got) {
  DWORD errors = 0;
  COMSTAT status{};
  if (ClearCommError(port, &errors, &status) == 0 || status.cbInQue == 0) return;
  std::string more(status.cbInQue, '\0');
  OVERLAPPED io{};
  io.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (io.hEvent == nullptr) return;
  DWORD moved = 0;
  if (ReadFile(port, &more[0], status.cbInQue, &moved, &io) == 0 &&
      GetLastError() == ERROR_IO_PENDING) {
    GetOverlappedResult(port, &io, &moved, TRUE);  // the bytes are there: it does not wait
  }
  CloseHandle(io.hEvent);
  got.append(more, 0, moved);
}

}  // namespace

const char* LineHelpIntro() {
  return "A simulated serial device for okvbridge: answers \"P\\n\" and \"R\\n\" on a COM port\n"
         "(raw 9600 8N1, no flow control), the far end of the bridge's port through a null-modem\n"
         "cable or a virtual null-modem pair.\n";
}

const char* LineHelpOptions() {
  return "  --port COM<N>      the COM port to play the device on (required)\n"
         "  (--ports, --com and --tty are the Linux build's: there the device plays on a\n"
         "  pseudo-terminal linked as COM<N>, or on a tty)\n";
}

const char* LineHelpPlug() {
  return "  unplug             close the port, as a USB adapter pulled out; replies not yet sent\n"
         "                     are lost\n"
         "  plug               open the port again, as the adapter plugged in again\n";
}

const char* LineHelpEnding() {
  return "The log on stdout: \"ready COM<N>\" once the port is open, then time-stamped lines:\n"
         "\"<- P\", \"-> \\\"Turning On\\\" (10 bytes)\", \"ok delay 300\", ...\n"
         "Ends on quit, Ctrl-C, Ctrl-Break or the console's close with exit code 0; exit code 2\n"
         "for a bad option, a port that does not exist or one held by another program, 1 when\n"
         "the line cannot be set up.\n";
}

std::string LineCheck(LineSettings& settings) {
  if (settings.portsGiven || settings.comGiven || !settings.tty.empty()) {
    const char* which = settings.portsGiven ? "--ports" : settings.comGiven ? "--com" : "--tty";
    return std::string(which) + " is for the Linux build; here give --port COM<N>";
  }
  if (settings.port.empty()) return "no port: give --port COM<N>";
  portName = PortName(settings.port);
  if (portName.empty()) return "--port: '" + settings.port + "' is not COM<N>";
  devicePath = "\\\\.\\" + portName;
  return "";
}

std::string LineStart(const LineSettings&, bool& usage) {
  InitializeCriticalSection(&inputLock);
  inputEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  interruptEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  readIo.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  writeIo.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (inputEvent == nullptr || interruptEvent == nullptr || readIo.hEvent == nullptr ||
      writeIo.hEvent == nullptr) {
    return "no events: " + SystemText(GetLastError());
  }
  // A device started in a process group of its own has Ctrl-C turned off: turn it on again.
  // Without a console there is nothing to catch, and the calls fail harmlessly.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  const std::string error = OpenPort(usage);
  if (!error.empty()) return error;
  const HANDLE reader = CreateThread(nullptr, 0, ReadInput, nullptr, 0, nullptr);
  if (reader == nullptr) {
    ClosePort();
    return "no input thread: " + SystemText(GetLastError());
  }
  CloseHandle(reader);  // it ends with the process, or at the end of standard input
  std::printf("ready %s\n", portName.c_str());
  std::fflush(stdout);
  return "";
}

void LineStop() {
  if (port != INVALID_HANDLE_VALUE && writePending &&
      WaitForSingleObject(writeIo.hEvent, kLastWriteMs) == WAIT_OBJECT_0) {
    EndWrite();
  }
  ClosePort();
}

bool LinePlugged() {
  return port != INVALID_HANDLE_VALUE;
}

long LineWrite(const char* data, std::size_t size, std::string& error) {
  if (port == INVALID_HANDLE_VALUE) {
    error = "the port is closed";
    return -1;
  }
  if (writePending) {
    if (WaitForSingleObject(writeIo.hEvent, 0) != WAIT_OBJECT_0) return 0;
    DWORD moved = 0;
    const BOOL done = GetOverlappedResult(port, &writeIo, &moved, FALSE);
    writePending = false;
    if (done == 0) {
      error = SystemText(GetLastError());
      return -1;
    }
  }
  writeBuffer.assign(data, size < kChunk ? size : kChunk);
  HANDLE event = writeIo.hEvent;
  std::memset(&writeIo, 0, sizeof writeIo);
  writeIo.hEvent = event;
  ResetEvent(event);
  DWORD moved = 0;
  if (WriteFile(port, writeBuffer.data(), static_cast<DWORD>(writeBuffer.size()), &moved,
                &writeIo) == 0) {
    if (GetLastError() != ERROR_IO_PENDING) {
      error = SystemText(GetLastError());
      return -1;
    }
    writePending = true;  // taken: the bytes are ours to keep until it is done
  }
  return static_cast<long>(writeBuffer.size());
}

// A pulled adapter: the port is closed, so a bridge holding the other end of the line sees the
// device go; replies not yet sent go with it.
std::string LineUnplug(std::string& name) {
  if (port == INVALID_HANDLE_VALUE) return "the line is unplugged already";
  ClosePort();
  name = portName;
  return "";
}

std::string LinePlug() {
  if (port != INVALID_HANDLE_VALUE) return "the line is plugged in already";
  bool usage = false;
  const std::string error = OpenPort(usage);
  if (!error.empty()) return error;
  Log("-- plugged in: %s", portName.c_str());
  return "";
}

bool LineWait(int timeoutMs, bool listen, bool wantRoom, std::vector<LineEvent>& events,
              std::string& error) {
  std::string got;
  const bool plugged = port != INVALID_HANDLE_VALUE;
  if (plugged && listen && !StartRead(got)) {
    events.push_back({LineEvent::kHungUp, ""});
    return true;
  }
  if (!got.empty()) {
    TakeWaiting(got);
    events.push_back({LineEvent::kBytes, got});
    return true;
  }
  HANDLE waits[4];
  DWORD count = 0;
  waits[count++] = interruptEvent;
  const DWORD readAt = plugged && readPending ? count : MAXDWORD;
  if (readAt != MAXDWORD) waits[count++] = readIo.hEvent;
  const DWORD writeAt = plugged && wantRoom && writePending ? count : MAXDWORD;
  if (writeAt != MAXDWORD) waits[count++] = writeIo.hEvent;
  const DWORD inputAt = inputTaken ? MAXDWORD : count;
  if (inputAt != MAXDWORD) waits[count++] = inputEvent;
  const DWORD waited = WaitForMultipleObjects(
      count, waits, FALSE, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
  if (waited == WAIT_TIMEOUT) return true;
  if (waited == WAIT_FAILED) {
    error = "wait failed: " + SystemText(GetLastError());
    return false;
  }
  if (WaitForSingleObject(interruptEvent, 0) == WAIT_OBJECT_0) {
    events.push_back({LineEvent::kInterrupt, interruptName != nullptr ? interruptName : "?"});
    return true;
  }
  if (readAt != MAXDWORD && WaitForSingleObject(readIo.hEvent, 0) == WAIT_OBJECT_0) {
    DWORD moved = 0;
    const BOOL done = GetOverlappedResult(port, &readIo, &moved, FALSE);
    readPending = false;
    if (done == 0 || moved == 0) {
      events.push_back({LineEvent::kHungUp, ""});
    } else {
      got += readByte;
      TakeWaiting(got);
      events.push_back({LineEvent::kBytes, got});
    }
  }
  if (writeAt != MAXDWORD && WaitForSingleObject(writeIo.hEvent, 0) == WAIT_OBJECT_0) {
    events.push_back({LineEvent::kRoom, ""});
  }
  if (inputAt != MAXDWORD && WaitForSingleObject(inputEvent, 0) == WAIT_OBJECT_0) {
    EnterCriticalSection(&inputLock);
    std::string input;
    input.swap(inputQueue);
    const bool ended = inputEnded;
    ResetEvent(inputEvent);
    LeaveCriticalSection(&inputLock);
    if (!input.empty()) events.push_back({LineEvent::kInput, input});
    if (ended) {
      inputTaken = true;
      events.push_back({LineEvent::kInputEnd, ""});
    }
  }
  return true;
}

void LineWallClock(int& hour, int& minute, int& second, int& millisecond) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  hour = now.wHour;
  minute = now.wMinute;
  second = now.wSecond;
  millisecond = now.wMilliseconds;
}
