// A runtime library (libkolt8.so, kolt8.dll) that loads but has no entry point. It counts its
// loads and unloads in the environment, so that a test can tell "loaded, then unloaded" from
// "never found". Plain C only: C++ template statics would make the library impossible to unload.
#include <cstdio>
#include <cstdlib>

namespace {

void Count(const char* name) {
  const char* text = std::getenv(name);
  char next[16];
  std::snprintf(next, sizeof next, "%d", (text != nullptr ? std::atoi(text) : 0) + 1);
#if defined(_WIN32)
  _putenv_s(name, next);  // the C library's environment, which the test reads with getenv
#else
  setenv(name, next, 1);
#endif
}

__attribute__((constructor)) void Loaded() {
  Count("FAKE_RUNTIME_LOADS");
}
__attribute__((destructor)) void Unloaded() {
  Count("FAKE_RUNTIME_UNLOADS");
}

}  // namespace

extern "C" int KoltVersion() {
  return 8;
}
