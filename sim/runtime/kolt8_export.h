// The runtime library's one exported symbol and how it is called: C linkage, the caller removes
// the argument (cdecl on 32-bit Windows), nothing else visible from outside the library.
#pragma once

#if defined(_WIN32)
#define KOLT8_EXPORT __declspec(dllexport)
#define KOLT8_CALL __cdecl
#else
#define KOLT8_EXPORT __attribute__((visibility("default")))
#define KOLT8_CALL
#endif

// Decodes the 18-byte request block at `block` and writes the answer into the same bytes before
// returning. The return value of the real runtime is not used by anyone, so ours returns nothing.
extern "C" KOLT8_EXPORT void KOLT8_CALL KoltEntryPoint(void* block);
