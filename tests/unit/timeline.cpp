// The shared event log of the virtual-time tests.
#include "timeline.h"

#include <gtest/gtest.h>

#include "fake_clock.h"

namespace {
std::vector<timeline::Event> events;
}

namespace timeline {

void Note(std::string what) {
  events.push_back({fake_clock::Now(), std::move(what)});
}

const std::vector<Event>& Events() {
  return events;
}

std::vector<std::string> What(const std::string& prefix) {
  std::vector<std::string> out;
  for (const Event& event : events) {
    if (event.what.compare(0, prefix.size(), prefix) == 0) out.push_back(event.what);
  }
  return out;
}

std::uint32_t TimeOf(const std::string& what) {
  for (const Event& event : events) {
    if (event.what == what) return event.at;
  }
  ADD_FAILURE() << "no event \"" << what << "\"";
  return 0;
}

void Clear() {
  events.clear();
}

}  // namespace timeline
