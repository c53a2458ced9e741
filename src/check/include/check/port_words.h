// Why a serial port did not open, in an operator's words: the "port COM<n>" line of
// okvbridge-check, shared with okvbridge-run, whose log says why the bridge's port failed in the
// very same words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "check/check_os.h"
#include "serial/port_access.h"

namespace checkwords {

// "a, b, c", or the first `most` of them and how many more.
std::string Join(const std::vector<std::string>& items, std::size_t most = SIZE_MAX);

// A finding followed by what to do about it.
std::string WithHint(std::string what, const std::string& hint);

// What went wrong with `opening`, the system's reason, and what to do; `ports` are the ports this
// computer has, named when the one asked for is not among them.
std::string ExplainPortFailure(const PortOpening& opening,
                               const std::vector<checkos::SerialPort>& ports);

}  // namespace checkwords
