// What the parts of okvbridge-check share: the one-line report every check prints, and the
// checks themselves, one file each (port_check.cpp, exchange_check.cpp, library_check.cpp), which
// the command line (main.cpp) runs in turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "check/check_os.h"

namespace okvcheck {

// The runtime library's entry point, asked for by name as the bridge does.
constexpr char kEntryPoint[] = "KoltEntryPoint";

std::string Number(std::uint64_t value);

// Bytes as a quoted C-like string: printable ASCII as it is, everything else escaped.
std::string Escape(const char* bytes, std::size_t count);

// One line per check, flushed, so that a check that hangs leaves the earlier ones on screen.
// Answers `ok`.
bool Report(bool ok, const std::string& subject, const std::string& detail);

// The serial ports of this computer, as a list (port_check.cpp).
bool CheckPortList(const std::vector<checkos::SerialPort>& ports);

// Opens the port as the bridge does and puts it back as it was; with `exchange` ('P' or 'R';
// 0 for none) also makes that exchange on it. `note` follows the port's name in the report
// (port_check.cpp).
bool CheckPort(std::uint32_t port, const std::string& note, char exchange,
               const std::vector<checkos::SerialPort>& ports);

// One transaction's device side on the open port, shown as the bridge would take it
// (exchange_check.cpp).
bool CheckExchange(char command, const std::string& subject);

// The runtime library the bridge would load, its entry point, and with `probe` the executor
// (library_check.cpp).
bool CheckRuntime(bool probe);

}  // namespace okvcheck
