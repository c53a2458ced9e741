// Reading ELF and PE library headers, export and import tables from a file's bytes. Nothing here
// trusts an offset: every table is checked to lie inside the file before it is read, and a read
// outside it yields 0, so that a truncated or hostile file can only be described.
#include "check/library_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace {

constexpr std::size_t kLongestName = 512;
constexpr std::uint32_t kMostEntries = 100000;  // more symbols or imports than any real library

// ELF
constexpr std::uint16_t kElfShared = 3;   // ET_DYN
constexpr std::uint32_t kElfLoad = 1;     // PT_LOAD
constexpr std::uint32_t kElfDynSym = 11;  // SHT_DYNSYM
// PE
constexpr std::uint16_t kPe32 = 0x10B;
constexpr std::uint16_t kPe32Plus = 0x20B;
constexpr std::uint16_t kPeDll = 0x2000;  // IMAGE_FILE_DLL
constexpr std::size_t kPeSection = 40;
constexpr std::size_t kPeExports = 0;
constexpr std::size_t kPeImports = 1;

bool Has(const FileBytes& file, std::uint64_t offset, std::uint64_t size) {
  return offset <= file.size() && size <= file.size() - offset;
}

// An unsigned integer of `width` bytes at `offset`; 0 when it is not all inside the file.
std::uint64_t Uint(const FileBytes& file, std::uint64_t offset, int width, bool bigEndian = false) {
  if (!Has(file, offset, static_cast<std::uint64_t>(width))) return 0;
  std::uint64_t value = 0;
  for (int i = 0; i < width; ++i) {
    const int shift = bigEndian ? 8 * (width - 1 - i) : 8 * i;
    value |= static_cast<std::uint64_t>(file[offset + static_cast<std::uint64_t>(i)]) << shift;
  }
  return value;
}

std::string CString(const FileBytes& file, std::uint64_t offset) {
  std::string text;
  for (std::uint64_t at = offset; at < file.size() && file[at] != 0 && text.size() < kLongestName;
       ++at) {
    text += static_cast<char>(file[at]);
  }
  return text;
}

LibraryHeader Problem(FileKind kind, std::string words) {
  return LibraryHeader{kind, 0, 0, std::move(words)};
}

std::string Ends(const char* what, std::uint64_t end, std::size_t size) {
  char text[160];
  std::snprintf(text, sizeof text, "%s would end at byte %llu, but the file has %zu bytes", what,
                static_cast<unsigned long long>(end), size);
  return text;
}

// The fields of an ELF file that this reader uses, at their offsets for its class.
struct Elf {
  bool big;
  int bits;
  int word;  // 4 or 8: the width of addresses and offsets

  std::uint64_t U(const FileBytes& file, std::uint64_t offset, int width) const {
    return Uint(file, offset, width, big);
  }
  std::uint64_t Header(const FileBytes& file, std::uint64_t at32, std::uint64_t at64,
                       int width) const {
    return U(file, bits == 32 ? at32 : at64, width);
  }
};

Elf ElfOf(const FileBytes& file) {
  const bool is64 = file.size() > 4 && file[4] == 2;
  return Elf{file.size() > 5 && file[5] == 2, is64 ? 64 : 32, is64 ? 8 : 4};
}

LibraryHeader ReadElf(const FileBytes& file, bool library) {
  if (file.size() < 16)
    return Problem(FileKind::kTruncated, "it ends inside its ELF identification");
  if (file[4] != 1 && file[4] != 2)
    return Problem(FileKind::kNotLibrary, "its ELF class is unknown");
  if (file[5] != 1 && file[5] != 2)
    return Problem(FileKind::kNotLibrary, "its ELF byte order is unknown");
  const Elf elf = ElfOf(file);
  if (file.size() < (elf.bits == 32 ? 52u : 64u)) {
    return Problem(FileKind::kTruncated, "it ends inside its ELF header");
  }
  const auto type = static_cast<std::uint16_t>(elf.U(file, 16, 2));
  if (library && type != kElfShared) {
    return Problem(FileKind::kNotLibrary, type == 1 ? "it is an object file, not a shared library"
                                          : type == 2
                                              ? "it is a program, not a shared library"
                                              : "it is an ELF file but not a shared library");
  }
  const std::uint64_t phoff = elf.Header(file, 28, 32, elf.word);
  const std::uint64_t phentsize = elf.Header(file, 42, 54, 2);
  const std::uint64_t phnum = elf.Header(file, 44, 56, 2);
  const std::uint64_t shoff = elf.Header(file, 32, 40, elf.word);
  const std::uint64_t shentsize = elf.Header(file, 46, 58, 2);
  const std::uint64_t shnum = elf.Header(file, 48, 60, 2);
  if (!Has(file, phoff, phnum * phentsize)) {
    return Problem(FileKind::kTruncated,
                   Ends("its program headers", phoff + phnum * phentsize, file.size()));
  }
  for (std::uint64_t i = 0; i < phnum; ++i) {
    const std::uint64_t at = phoff + i * phentsize;
    if (elf.U(file, at, 4) != kElfLoad) continue;
    const std::uint64_t offset = elf.bits == 32 ? elf.U(file, at + 4, 4) : elf.U(file, at + 8, 8);
    const std::uint64_t size = elf.bits == 32 ? elf.U(file, at + 16, 4) : elf.U(file, at + 32, 8);
    if (!Has(file, offset, size)) {
      return Problem(FileKind::kTruncated, Ends("a loadable segment", offset + size, file.size()));
    }
  }
  if (shnum != 0 && !Has(file, shoff, shnum * shentsize)) {
    return Problem(FileKind::kTruncated,
                   Ends("its section headers", shoff + shnum * shentsize, file.size()));
  }
  return LibraryHeader{FileKind::kElf, elf.bits, static_cast<std::uint16_t>(elf.U(file, 18, 2)),
                       ""};
}

// The PE file's layout, once its headers have been found sound.
struct Pe {
  int bits = 0;
  std::uint64_t optional = 0;  // offset of the optional header
  std::uint64_t optionalSize = 0;
  std::uint64_t sections = 0;  // offset of the section table
  std::uint64_t sectionCount = 0;
};

LibraryHeader ReadPe(const FileBytes& file, Pe& pe, bool library = true) {
  if (file.size() < 64) return Problem(FileKind::kTruncated, "it ends inside its DOS header");
  const std::uint64_t nt = Uint(file, 0x3C, 4);
  if (!Has(file, nt, 24))
    return Problem(FileKind::kTruncated, Ends("its PE header", nt + 24, file.size()));
  if (Uint(file, nt, 4) != 0x00004550) {
    return Problem(FileKind::kNotLibrary, "it has no PE header: an MS-DOS program, not a DLL");
  }
  const auto machine = static_cast<std::uint16_t>(Uint(file, nt + 4, 2));
  pe.sectionCount = Uint(file, nt + 6, 2);
  pe.optionalSize = Uint(file, nt + 20, 2);
  const std::uint64_t characteristics = Uint(file, nt + 22, 2);
  pe.optional = nt + 24;
  if (pe.optionalSize < 2 || !Has(file, pe.optional, pe.optionalSize)) {
    return Problem(FileKind::kTruncated,
                   Ends("its optional header", pe.optional + pe.optionalSize, file.size()));
  }
  const std::uint64_t magic = Uint(file, pe.optional, 2);
  if (magic != kPe32 && magic != kPe32Plus) {
    return Problem(FileKind::kNotLibrary, "its optional header is of no known kind");
  }
  pe.bits = magic == kPe32 ? 32 : 64;
  if (library && (characteristics & kPeDll) == 0) {
    return Problem(FileKind::kNotLibrary, "it is a Windows program, not a DLL");
  }
  pe.sections = pe.optional + pe.optionalSize;
  if (!Has(file, pe.sections, pe.sectionCount * kPeSection)) {
    return Problem(
        FileKind::kTruncated,
        Ends("its section table", pe.sections + pe.sectionCount * kPeSection, file.size()));
  }
  for (std::uint64_t i = 0; i < pe.sectionCount; ++i) {
    const std::uint64_t at = pe.sections + i * kPeSection;
    const std::uint64_t size = Uint(file, at + 16, 4);
    const std::uint64_t offset = Uint(file, at + 20, 4);
    if (size != 0 && !Has(file, offset, size)) {
      return Problem(FileKind::kTruncated, Ends("a section", offset + size, file.size()));
    }
  }
  return LibraryHeader{FileKind::kPe, pe.bits, machine, ""};
}

// File offset of a relative virtual address, through the section that holds it in the file.
bool PeOffset(const FileBytes& file, const Pe& pe, std::uint64_t rva, std::uint64_t& offset) {
  for (std::uint64_t i = 0; i < pe.sectionCount; ++i) {
    const std::uint64_t at = pe.sections + i * kPeSection;
    const std::uint64_t start = Uint(file, at + 12, 4);
    const std::uint64_t size = Uint(file, at + 16, 4);
    if (rva >= start && rva - start < size) {
      offset = Uint(file, at + 20, 4) + (rva - start);
      return offset < file.size();
    }
  }
  return false;
}

// File offset of the data directory `index` (exports, imports, ...), when the file has it.
bool PeDirectory(const FileBytes& file, const Pe& pe, std::size_t index, std::uint64_t& offset) {
  const std::uint64_t count = Uint(file, pe.optional + (pe.bits == 32 ? 92 : 108), 4);
  const std::uint64_t entry = pe.optional + (pe.bits == 32 ? 96 : 112) + 8 * index;
  if (index >= count || entry + 8 > pe.optional + pe.optionalSize) return false;
  const std::uint64_t rva = Uint(file, entry, 4);
  return rva != 0 && PeOffset(file, pe, rva, offset);
}

std::vector<std::string> ElfExports(const FileBytes& file) {
  std::vector<std::string> names;
  const Elf elf = ElfOf(file);
  const std::uint64_t shoff = elf.Header(file, 32, 40, elf.word);
  const std::uint64_t shentsize = elf.Header(file, 46, 58, 2);
  const std::uint64_t shnum = elf.Header(file, 48, 60, 2);
  // A section's type, link, offset, size and entry size.
  auto field = [&](std::uint64_t section, std::uint64_t at32, std::uint64_t at64, int width) {
    return elf.U(file, shoff + section * shentsize + (elf.bits == 32 ? at32 : at64), width);
  };
  for (std::uint64_t s = 0; s < shnum; ++s) {
    if (field(s, 4, 4, 4) != kElfDynSym) continue;
    const std::uint64_t strings = field(s, 24, 40, 4);
    if (strings >= shnum) continue;
    const std::uint64_t stringsAt = field(strings, 16, 24, elf.word);
    const std::uint64_t stringsSize = field(strings, 20, 32, elf.word);
    const std::uint64_t symbolsAt = field(s, 16, 24, elf.word);
    const std::uint64_t symbolsSize = field(s, 20, 32, elf.word);
    const std::uint64_t entry = elf.bits == 32 ? 16 : 24;
    if (!Has(file, symbolsAt, symbolsSize) || !Has(file, stringsAt, stringsSize)) continue;
    for (std::uint64_t i = 1; i < symbolsSize / entry && i < kMostEntries; ++i) {
      const std::uint64_t at = symbolsAt + i * entry;
      const std::uint64_t name = elf.U(file, at, 4);
      const std::uint64_t info = elf.U(file, at + (elf.bits == 32 ? 12 : 4), 1);
      const std::uint64_t section = elf.U(file, at + (elf.bits == 32 ? 14 : 6), 2);
      const std::uint64_t binding = info >> 4;  // global, weak or unique: seen from outside
      if (section == 0 || (binding != 1 && binding != 2 && binding != 10)) continue;
      if (name == 0 || name >= stringsSize) continue;
      names.push_back(CString(file, stringsAt + name));
    }
  }
  return names;
}

std::vector<std::string> PeExports(const FileBytes& file, const Pe& pe) {
  std::vector<std::string> names;
  std::uint64_t directory = 0;
  if (!PeDirectory(file, pe, kPeExports, directory)) return names;
  const std::uint64_t count = Uint(file, directory + 24, 4);
  std::uint64_t table = 0;
  if (!PeOffset(file, pe, Uint(file, directory + 32, 4), table)) return names;
  for (std::uint64_t i = 0; i < count && i < kMostEntries && Has(file, table + 4 * i, 4); ++i) {
    std::uint64_t name = 0;
    if (PeOffset(file, pe, Uint(file, table + 4 * i, 4), name))
      names.push_back(CString(file, name));
  }
  return names;
}

struct Machine {
  std::uint16_t code;
  const char* name;
};

constexpr Machine kElfMachines[] = {{3, "i386"},        {8, "MIPS"},      {20, "PowerPC"},
                                    {21, "PowerPC 64"}, {22, "S/390"},    {40, "ARM"},
                                    {62, "x86-64"},     {183, "AArch64"}, {243, "RISC-V"}};
constexpr Machine kPeMachines[] = {
    {0x014C, "i386"}, {0x8664, "x86-64"}, {0xAA64, "ARM64"}, {0x01C0, "ARM"}, {0x01C4, "ARM"}};

template <std::size_t N>
const char* MachineName(const Machine (&machines)[N], std::uint16_t code) {
  for (const Machine& machine : machines) {
    if (machine.code == code) return machine.name;
  }
  return nullptr;
}

LibraryHeader ReadHeader(const FileBytes& file, bool library) {
  if (file.size() >= 4 && file[0] == 0x7F && file[1] == 'E' && file[2] == 'L' && file[3] == 'F') {
    return ReadElf(file, library);
  }
  if (file.size() >= 2 && file[0] == 'M' && file[1] == 'Z') {
    Pe pe;
    return ReadPe(file, pe, library);
  }
  if (file.empty()) return Problem(FileKind::kTruncated, "it is empty");
  return Problem(FileKind::kNotLibrary, "it starts neither as an ELF library nor as a DLL");
}

}  // namespace

LibraryHeader ReadLibraryHeader(const FileBytes& file) {
  return ReadHeader(file, true);
}

LibraryHeader ReadProgramHeader(const FileBytes& file) {
  return ReadHeader(file, false);
}

std::string DescribeLibrary(const LibraryHeader& header) {
  const bool elf = header.kind == FileKind::kElf;
  const char* machine =
      elf ? MachineName(kElfMachines, header.machine) : MachineName(kPeMachines, header.machine);
  char text[80];
  if (machine != nullptr) {
    std::snprintf(text, sizeof text, "%s %d-bit %s", elf ? "ELF" : "PE", header.bits, machine);
  } else {
    std::snprintf(text, sizeof text, "%s %d-bit for machine 0x%X", elf ? "ELF" : "PE", header.bits,
                  header.machine);
  }
  return text;
}

bool SameArchitecture(const LibraryHeader& a, const LibraryHeader& b) {
  return a.kind == b.kind && a.bits == b.bits && a.machine == b.machine;
}

std::vector<std::string> ExportedNames(const FileBytes& file) {
  const FileKind kind = ReadLibraryHeader(file).kind;
  Pe pe;
  if (kind == FileKind::kElf) return ElfExports(file);
  if (kind == FileKind::kPe && ReadPe(file, pe).kind == FileKind::kPe) return PeExports(file, pe);
  return {};
}

std::vector<std::string> ImportedLibraries(const FileBytes& file) {
  std::vector<std::string> names;
  Pe pe;
  std::uint64_t at = 0;
  if (ReadLibraryHeader(file).kind != FileKind::kPe || ReadPe(file, pe).kind != FileKind::kPe ||
      !PeDirectory(file, pe, kPeImports, at)) {
    return names;
  }
  // Import descriptors of 20 bytes each, up to an empty one; the DLL's name is at +12.
  for (std::uint32_t i = 0; i < kMostEntries && Has(file, at, 20); ++i, at += 20) {
    const std::uint64_t nameRva = Uint(file, at + 12, 4);
    if (nameRva == 0) break;
    std::uint64_t name = 0;
    if (PeOffset(file, pe, nameRva, name)) names.push_back(CString(file, name));
  }
  return names;
}

bool LooksLikeEntryPoint(const std::string& name) {
  std::string lower(name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name != "KoltEntryPoint" && lower.find("koltentrypoint") != std::string::npos;
}
