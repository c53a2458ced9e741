// What a library file says about itself, read from its bytes alone: ELF or PE, 32- or 64-bit, the
// machine it is for, the names it exports and the libraries it needs. Every offset the file gives
// is checked against its size, so that a truncated or foreign file is described, never followed.
// Both formats are read on every platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class FileKind : std::uint8_t { kNotLibrary, kTruncated, kElf, kPe };

struct LibraryHeader {
  FileKind kind;
  int bits;               // 32 or 64, for kElf and kPe
  std::uint16_t machine;  // ELF e_machine or PE Machine
  std::string problem;    // for kNotLibrary and kTruncated: what is wrong, in words
};

using FileBytes = std::vector<std::uint8_t>;

LibraryHeader ReadLibraryHeader(const FileBytes& file);
// The same for any ELF or PE file, programs included: what this build itself is.
LibraryHeader ReadProgramHeader(const FileBytes& file);

// "ELF 64-bit x86-64", "PE 32-bit i386".
std::string DescribeLibrary(const LibraryHeader& header);

// Same format, width and machine: a library that one of them can load, the other can too.
bool SameArchitecture(const LibraryHeader& a, const LibraryHeader& b);

// The names the library exports: the defined dynamic symbols of an ELF file, the export
// directory's names of a PE file. Empty when the file has none or they cannot be read.
std::vector<std::string> ExportedNames(const FileBytes& file);

// The DLLs a PE file imports from (an ELF file's needs are named by the loader itself).
std::vector<std::string> ImportedLibraries(const FileBytes& file);

// True for names that are the entry point's but for case, decoration or C++ mangling:
// "koltentrypoint", "_KoltEntryPoint@4", "_Z14KoltEntryPointPv".
bool LooksLikeEntryPoint(const std::string& name);
