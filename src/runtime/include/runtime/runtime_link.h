// The link to the automation runtime: loading its library and entry point, the textual variable
// references, the 18-byte request block, and the read, write and executor-probe operations with
// their completion polling. Main thread only; nothing here prints. The references are in
// var_ref.cpp, the block's bytes in request_block.cpp, the library and the operations in
// runtime_link.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

// Variable type code 0..7, from the first letter of a reference (I O B/U T C M F L).
using VarType = std::uint8_t;

struct VarRef {
  VarType type;
  std::uint16_t index;  // 0..9999
};

// Outcome of a read or write: 0 done, 1..255 the runtime's result code, kStatusTimeout when no
// result came within 1000 ms, kStatusNotParsed set by callers for a reference that did not parse,
// anything else a refusal word from the runtime, passed on unchanged (it may equal any of these).
using StatusCode = std::uint16_t;
constexpr StatusCode kStatusTimeout = 0xFFFE;
constexpr StatusCode kStatusNotParsed = 0xFFFF;

constexpr std::size_t kRequestSize = 18;

// Nine little-endian 16-bit words, built and read byte by byte so that the layout is the same on
// every compiler and bitness.
struct RuntimeRequest {
  std::uint8_t bytes[kRequestSize];
};

// Loads the runtime library and resolves its entry point. Once it has answered true it is never
// called again and the library stays loaded; on false nothing stays loaded.
bool ConnectRuntime();

// Parses "m1000"-style references. On false `ref` is unspecified.
bool ParseVarRef(const char* text, VarRef& ref);

// Submits a read and polls for its completion for up to 1000 ms. Answers true when a completion
// was fetched (its result code is the status, 0 or not). `value` is written only then.
bool ReadVar(const VarRef& ref, StatusCode& status, std::int32_t& value);

// Submits a write and polls for its completion for up to 1000 ms, as ReadVar.
bool WriteVar(const VarRef& ref, std::int32_t value, StatusCode& status);

// True when the runtime has an executor installed.
bool ProbeExecutor();

// Block encoding and decoding, exposed so that they can be checked on their own.
void EncodeReadSubmit(RuntimeRequest& block, const VarRef& ref);
void EncodeWriteSubmit(RuntimeRequest& block, const VarRef& ref, std::int32_t value);
void EncodeProbe(RuntimeRequest& block);
void EncodeFetch(RuntimeRequest& block);
std::uint16_t RequestWord(const RuntimeRequest& block, std::size_t offset);
// Decodes the value of a completed read of type `type`; leaves `value` as it was for a type
// above 7.
void DecodeReadAnswer(const RuntimeRequest& block, VarType type, std::int32_t& value);
