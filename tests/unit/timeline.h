// One ordered log of what the bridge did, as the fakes around it saw it: console messages, runtime
// requests and serial commands, each with the virtual time it happened at. Tests compare the whole
// sequence, so a missing, extra or reordered step shows up as a readable difference.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace timeline {

struct Event {
  std::uint32_t at;
  std::string what;
};

void Note(std::string what);
const std::vector<Event>& Events();
// The events alone, in order; `prefix` keeps only those that start with it.
std::vector<std::string> What(const std::string& prefix = "");
// Time of the first event equal to `what`; fails the test and answers 0 when there is none.
std::uint32_t TimeOf(const std::string& what);
void Clear();

}  // namespace timeline
