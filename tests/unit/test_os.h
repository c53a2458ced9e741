// What the unit tests need from the operating system beyond the bridge's own platform layer:
// looking at the runtime library the bridge loaded, capturing the console, and detaching standard
// input. One file per platform, as for the bridge.
#pragma once

#include <cstddef>
#include <cstdio>

namespace test_os {

// True when a library by the runtime's plain name is loaded in this process (nothing is loaded).
bool RuntimeLoaded();

// Loads the runtime library by the same search the bridge uses and answers the address of
// `symbol` in it, or null. The reference taken is kept: the bridge gets the same library.
void* RuntimeSymbol(const char* symbol);

// A stream that hands every formatted message written to it, whole, to `record`.
std::FILE* OpenRecorder(void (*record)(const char* bytes, std::size_t size));
void CloseRecorder(std::FILE* stream);

// Standard input at its end, as under a service wrapper: nobody can press a key.
bool DetachStandardInput();

}  // namespace test_os
