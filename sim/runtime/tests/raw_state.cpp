// Plain-file access to the state file for the tests; see raw_state.h.
#include "raw_state.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "child.h"

namespace raw {
namespace {

std::string g_path;

}  // namespace

const std::string& Path() {
  return g_path;
}

// One file per process: CTest runs every test in a process of its own, and the library maps the
// file it finds first for the life of the process.
void FreshState() {
  if (g_path.empty()) {
    g_path = ::testing::TempDir() + "okvsim-rt-" + std::to_string(files::ProcessId()) + ".state";
    files::Remove(g_path);
    files::SetEnv("KOLT8_SIM_STATE", g_path);
    std::atexit([] { files::Remove(g_path); });
  }
  Call({0x00, 0x0B, 0x02, 0x00, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0});
  ASSERT_EQ(Read(0, 4), 0x4D53384Bu) << "no state file at " << g_path;
  Write(kExecutor, 4, 1);
  for (std::size_t at = kDelayMs; at < kJournal; at += 4) {
    if (at != 104 && at != 108) Write(at, 4, 0);  // keep the journal's capacity and entry size
  }
  std::vector<unsigned char> zeros(kFileSize - kJournal);
  ASSERT_EQ(files::WriteAt(g_path, kJournal, zeros.data(), zeros.size()),
            static_cast<long long>(zeros.size()));
}

std::uint64_t Read(std::size_t offset, int width) {
  unsigned char bytes[8] = {};
  EXPECT_EQ(files::ReadAt(g_path, offset, bytes, static_cast<std::size_t>(width)), width) << g_path;
  std::uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

void Write(std::size_t offset, int width, std::uint64_t value) {
  unsigned char bytes[8];
  for (int i = 0; i < width; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  EXPECT_EQ(files::WriteAt(g_path, offset, bytes, static_cast<std::size_t>(width)), width)
      << g_path;
}

std::vector<unsigned char> Snapshot() {
  std::vector<unsigned char> all(kFileSize + 1);
  const long long got = files::ReadAt(g_path, 0, all.data(), all.size());
  EXPECT_GE(got, 0) << "cannot open " << g_path;
  all.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  return all;
}

int VarWidth(int type) {
  static const int kWidth[] = {1, 1, 1, 4, 2, 2, 4, 4};
  return kWidth[type];
}

std::size_t VarOffset(int type, int index) {
  static const std::size_t kStart[] = {0, 10000, 20000, 30000, 70000, 90000, 110000, 150000};
  return kVariables + kStart[type] + static_cast<std::size_t>(index) * VarWidth(type);
}

std::uint32_t Var(int type, int index) {
  return static_cast<std::uint32_t>(Read(VarOffset(type, index), VarWidth(type)));
}

void SetVar(int type, int index, std::uint32_t value) {
  Write(VarOffset(type, index), VarWidth(type), value);
}

Entry JournalSlot(int slot) {
  std::size_t at = kJournal + static_cast<std::size_t>(slot) * 32;
  return {Read(at, 8),
          Read(at + 8, 8),
          static_cast<std::int32_t>(Read(at + 16, 4)),
          static_cast<int>(Read(at + 20, 2)),
          static_cast<int>(Read(at + 22, 1)),
          static_cast<int>(Read(at + 23, 1))};
}

Timing TimingSlot(int slot) {
  std::size_t at = kTiming + static_cast<std::size_t>(slot) * 32;
  return {Read(at, 8),
          Read(at + 8, 8),
          static_cast<std::uint32_t>(Read(at + 16, 4)),
          static_cast<std::uint32_t>(Read(at + 20, 4)),
          static_cast<std::uint32_t>(Read(at + 24, 4)),
          static_cast<int>(Read(at + 28, 2)),
          static_cast<int>(Read(at + 30, 1)),
          static_cast<int>(Read(at + 31, 1))};
}

}  // namespace raw
