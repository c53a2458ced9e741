// The bridge's console output: every message goes through Say, to standard output unless a test
// has redirected it.
#include <cstdarg>
#include <cstdio>

#include "bridge/bridge.h"

namespace {

std::FILE* console = nullptr;

}  // namespace

void SetConsole(std::FILE* stream) {
  console = stream;
}

void Say(const char* format, ...) {
  std::FILE* out = console != nullptr ? console : stdout;
  va_list args;
  va_start(args, format);
  std::vfprintf(out, format, args);
  va_end(args);
  // Flushed at once, so that a piped or killed bridge has lost nothing it printed.
  std::fflush(out);
}
