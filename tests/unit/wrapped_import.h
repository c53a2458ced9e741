// The symbols a test defines or calls to stand in for a system call: the binary is linked with
// --wrap on the call's import pointer, whose name differs between 32 and 64 bits.
#pragma once

#if defined(_WIN64)
#define OKV_WRAPPED(name, argBytes) "__wrap___imp_" #name
#define OKV_REAL(name, argBytes) "__real___imp_" #name
#else
// 32-bit symbols carry a leading underscore, which --wrap adds to its own names as well.
#define OKV_WRAPPED(name, argBytes) "___wrap__imp__" #name "@" #argBytes
#define OKV_REAL(name, argBytes) "___real__imp__" #name "@" #argBytes
#endif
