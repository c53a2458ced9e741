// What okvbridge-check and okvbridge-run ask of the serial port beyond what the bridge uses: why
// an OpenPort failed and which device it reached, and the line left as it was found. The bridge
// itself shows no system error.
#pragma once

#include <cstdint>

#include "serial/port_access.h"

// Where an OpenPort stopped.
enum class PortStep : std::uint8_t {
  kNone,           // it succeeded
  kName,           // the number names no device here
  kOpen,           // the device did not open
  kLock,           // another program holds it (POSIX: found before opening, where it can)
  kTransferEvent,  // Windows: the event its reads and writes wait on could not be made
  kSettings,       // the driver refused the line settings
  kWatcher,        // the receive watcher could not be started
};

struct PortOpening {
  PortStep failedStep;
  int error;          // errno or GetLastError() of the failed step; 0 when the system gave none
  char device[4096];  // the device of the last attempt: its path on POSIX, its name on Windows
};

// What the last OpenPort did.
const PortOpening& LastPortOpening();

// From the next OpenPort on, the line is noted as it was found (its settings, DTR and RTS, and on
// POSIX whether it was exclusive) before the bridge's settings are applied; RestoreLineSettings,
// before ClosePort, puts it back so. A failed OpenPort puts it back by itself.
void KeepLineSettings();
void RestoreLineSettings();
