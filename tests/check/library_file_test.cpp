// The library file reader on real files of this build (the simulated runtime library and this
// test program), whole, cut short at every length and with garbage over their headers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "check/library_file.h"

namespace {

FileBytes Read(const char* path) {
  FileBytes bytes;
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return bytes;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
    bytes.push_back(static_cast<std::uint8_t>(c));
  }
  std::fclose(file);
  return bytes;
}

bool Described(const LibraryHeader& header) {
  return header.kind == FileKind::kElf || header.kind == FileKind::kPe;
}

TEST(LibraryFile, TheSimulatedRuntimeIsALibraryOfThisBuild) {
  const FileBytes library = Read(OKV_SIM_LIBRARY);
  const FileBytes program = Read(OKV_THIS_PROGRAM);
  ASSERT_FALSE(library.empty() || program.empty());
  const LibraryHeader header = ReadLibraryHeader(library);
  ASSERT_TRUE(Described(header)) << header.problem;
  EXPECT_EQ(header.bits, static_cast<int>(8 * sizeof(void*)));
  EXPECT_TRUE(SameArchitecture(header, ReadProgramHeader(program)));
  // A program is no library.
  EXPECT_EQ(ReadLibraryHeader(program).kind,
            header.kind == FileKind::kPe ? FileKind::kNotLibrary : FileKind::kElf);
  const std::vector<std::string> names = ExportedNames(library);
  EXPECT_NE(std::find(names.begin(), names.end(), "KoltEntryPoint"), names.end());
  if (header.kind == FileKind::kPe) {
    const std::vector<std::string> needs = ImportedLibraries(library);
    EXPECT_NE(std::find(needs.begin(), needs.end(), "KERNEL32.dll"), needs.end());
  }
}

// Cut anywhere, a file is truncated, no library, or still read as what it is; its tables are
// never followed out of the bytes there are.
TEST(LibraryFile, ACutFileIsNeverTakenForAnotherOne) {
  const FileBytes whole = Read(OKV_SIM_LIBRARY);
  ASSERT_FALSE(whole.empty());
  const LibraryHeader header = ReadLibraryHeader(whole);
  for (std::size_t length = 0; length < whole.size(); length += length < 8192 ? 1 : 4099) {
    const FileBytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
    const LibraryHeader got = ReadLibraryHeader(cut);
    EXPECT_TRUE(got.kind == FileKind::kTruncated || got.kind == FileKind::kNotLibrary ||
                SameArchitecture(got, header))
        << "cut at " << length;
    ExportedNames(cut);
    ImportedLibraries(cut);
  }
}

TEST(LibraryFile, GarbageOverTheHeadersIsReadWithinTheFile) {
  FileBytes file = Read(OKV_SIM_LIBRARY);
  ASSERT_GT(file.size(), 1024u);
  for (std::size_t at = 2; at < 1024; ++at) {
    const std::uint8_t kept = file[at];
    for (const std::uint8_t garbage : {0x00, 0x7F, 0xFF}) {
      file[at] = garbage;
      ReadLibraryHeader(file);
      ExportedNames(file);
      ImportedLibraries(file);
    }
    file[at] = kept;
  }
}

TEST(LibraryFile, NamesLikeTheEntryPoint) {
  for (const char* name : {"koltentrypoint", "_KoltEntryPoint@4", "KoltEntryPoint@4",
                           "_Z14KoltEntryPointPv", "KOLTENTRYPOINT"}) {
    EXPECT_TRUE(LooksLikeEntryPoint(name)) << name;
  }
  for (const char* name : {"KoltEntryPoint", "KoltVersion", "EntryPoint", ""}) {
    EXPECT_FALSE(LooksLikeEntryPoint(name)) << name;
  }
}

}  // namespace
