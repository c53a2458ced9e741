// Plain-file access to the state file for the tests; see raw_state.h.
#include "raw_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include <gtest/gtest.h>

namespace raw {
namespace {

std::string g_path;

int OpenFile() {
  int fd = open(Path().c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) ADD_FAILURE() << "cannot open " << Path();
  return fd;
}

}  // namespace

const std::string& Path() {
  return g_path;
}

// One file per process: CTest runs every test in a process of its own, and the library maps the
// file it finds first for the life of the process.
void FreshState() {
  if (g_path.empty()) {
    g_path = ::testing::TempDir() + "okvsim-rt-" + std::to_string(getpid()) + ".state";
    unlink(g_path.c_str());
    setenv("KOLT8_SIM_STATE", g_path.c_str(), 1);
    std::atexit([] { unlink(g_path.c_str()); });
  }
  Call({0x00, 0x0B, 0x02, 0x00, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0});
  ASSERT_EQ(Read(0, 4), 0x4D53384Bu) << "no state file at " << g_path;
  Write(kExecutor, 4, 1);
  for (std::size_t at = kDelayMs; at < kJournal; at += 4) {
    if (at != 104 && at != 108) Write(at, 4, 0);  // keep the journal's capacity and entry size
  }
  std::vector<unsigned char> zeros(kFileSize - kJournal);
  int fd = OpenFile();
  ASSERT_EQ(pwrite(fd, zeros.data(), zeros.size(), kJournal), static_cast<ssize_t>(zeros.size()));
  close(fd);
}

std::uint64_t Read(std::size_t offset, int width) {
  unsigned char bytes[8] = {};
  int fd = OpenFile();
  EXPECT_EQ(pread(fd, bytes, width, static_cast<off_t>(offset)), width);
  close(fd);
  std::uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

void Write(std::size_t offset, int width, std::uint64_t value) {
  unsigned char bytes[8];
  for (int i = 0; i < width; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
  int fd = OpenFile();
  EXPECT_EQ(pwrite(fd, bytes, width, static_cast<off_t>(offset)), width);
  close(fd);
}

std::vector<unsigned char> Snapshot() {
  std::vector<unsigned char> all(kFileSize + 1);
  int fd = OpenFile();
  all.resize(static_cast<std::size_t>(pread(fd, all.data(), all.size(), 0)));
  close(fd);
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
