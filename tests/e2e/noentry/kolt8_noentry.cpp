// A runtime library by the right file name that lacks the entry point: the bridge must load it,
// find nothing to call, unload it and keep retrying. One unrelated export, so that the library
// is not empty and the missing name is the only thing wrong with it.
extern "C" __attribute__((visibility("default"))) int KoltVersion() {
  return 1;
}
