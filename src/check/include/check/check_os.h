// What okvbridge-check asks of the system beyond the bridge's own code: the serial ports the
// system knows, a port failure in an operator's terms, the words for a system error, and where
// the loader looks for the runtime library. One file per platform, chosen by CMake.
#pragma once

#include <string>
#include <vector>

#include "check/library_file.h"
#include "platform/platform.h"
#include "serial/port_access.h"

namespace checkos {

struct SerialPort {
  std::string name;    // "COM4"; empty when no port number reaches it
  std::string device;  // what the name stands for: a tty, a link's target, a driver's device
  std::string note;    // a remark for the operator, or empty
};

// The serial ports of this computer, in the order of their numbers.
std::vector<SerialPort> SerialPorts();

// In this order: okvbridge-check words them by it.
enum class PortTrouble {
  kNoSuchPort,
  kHeld,
  kAccessRefused,
  kNoDevice,
  kNotSerial,
  kSettingsRefused,
  kOther,
};

struct PortDiagnosis {
  PortTrouble trouble;
  std::string detail;  // facts only this system knows (where a link points, a device's group)
  std::string hint;    // what to do, where this system's answer differs from the usual one
};

PortDiagnosis DiagnosePort(const PortOpening& opening);

// The system's own words for an error code of the port layer (errno, GetLastError()).
std::string ErrorWords(int code);

struct SearchPlace {
  std::string folder;
  std::string role;  // why the loader looks there: "LD_LIBRARY_PATH", "PATH", ...
};

// Where the loader looks for the runtime library's plain name, in its order.
std::vector<SearchPlace> LibrarySearch();

// What to do when the library is in none of those places.
const char* NotFoundHint();

// What to do with a library of another width or machine than this build.
std::string OtherArchitectureHint(const LibraryHeader& library, const LibraryHeader& build);

std::string InFolder(const std::string& folder, const char* file);

// The file a loaded library came from, as a full path.
std::string LibraryPath(void* library);

// The loader's reason for the last failed load or lookup, in words.
std::string LoadFailureWords(const platform::LibraryError& error);

// The libraries that `file`, found but not loaded, needs and that the loader cannot find.
std::vector<std::string> MissingLibraries(const FileBytes& file,
                                          const platform::LibraryError& error);

// This program's own file, whose header tells what this build can load.
std::string ExecutablePath();

}  // namespace checkos
