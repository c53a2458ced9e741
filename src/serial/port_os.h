// The seam between the portable port (port_access.cpp: the device names tried for a port number,
// the order of an opening, and the record of how it went) and the file of each system
// (port_access_posix.cpp, port_access_win32.cpp), which does the steps themselves and the
// transfers.
#pragma once

#include "serial/port_diagnostics.h"

namespace portos {

// --- port_access.cpp, for the system's file -----------------------------------------------------

// Notes where the opening stopped and the system's error of that step (0 when it gave none).
void NoteFailure(PortStep step, int error);
// Notes the device the opening reached, as LastPortOpening gives it.
void NoteDevice(const char* device);
// Whether the line is to be noted as found, for RestoreLineSettings (KeepLineSettings).
bool KeepingLine();

// --- the system's file ----------------------------------------------------------------------

// Opens the device name "COM<n>" or "\\.\COM<n>" for reading and writing, for this process
// alone, and notes the line as found when KeepingLine(). False when it cannot, with the failure
// noted and nothing held.
bool OpenDevice(const char* name);

// Sets the opened line up (9600 8N1 without flow control) and starts its receive watcher. False
// when it cannot, with the failure noted; the caller then restores and closes.
bool SetUpLine();

}  // namespace portos
