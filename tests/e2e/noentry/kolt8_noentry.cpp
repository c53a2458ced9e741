// A runtime library by the right file name that lacks the entry point: the bridge must load it,
// find nothing to call, unload it and keep retrying. One unrelated export, so that the library
// is not empty and the missing name is the only thing wrong with it.
#if defined(_WIN32)
#define NOENTRY_EXPORT __declspec(dllexport)
#else
#define NOENTRY_EXPORT __attribute__((visibility("default")))
#endif

extern "C" NOENTRY_EXPORT int KoltVersion() {
  return 1;
}
