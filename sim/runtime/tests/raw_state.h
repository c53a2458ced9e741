// Test access to the simulated runtime's state file through plain file reads and writes at the
// offsets README.md documents, so that the tests check the published layout rather than reuse the
// library's own layout code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kolt8_export.h"

namespace raw {

constexpr std::size_t kExecutor = 16, kDelayMs = 20, kNever = 24, kResult = 28;
constexpr std::size_t kRefuseRead = 32, kRefuseWrite = 36, kGarbage = 40;
constexpr std::size_t kReads = 48, kWrites = 56, kFetches = 64, kProbes = 72, kMalformed = 80;
constexpr std::size_t kJournalLast = 96, kJournal = 256, kVariables = 16384;
constexpr std::size_t kTimingLast = 112, kTiming = 8448;
constexpr std::size_t kFileSize = 206384;

// Points KOLT8_SIM_STATE at a file of this process's own (child processes inherit it), has the
// library create it, and puts everything back to defaults with no completion delay.
void FreshState();
const std::string& Path();

std::uint64_t Read(std::size_t offset, int width);
void Write(std::size_t offset, int width, std::uint64_t value);
std::vector<unsigned char> Snapshot();

int VarWidth(int type);
std::size_t VarOffset(int type, int index);
std::uint32_t Var(int type, int index);
void SetVar(int type, int index, std::uint32_t value);

struct Entry {
  std::uint64_t seq, time_us;
  std::int32_t value;
  int index, type, result;
};
Entry JournalSlot(int slot);

struct Timing {
  std::uint64_t seq, submitted_us;
  std::uint32_t ready_us, fetched_us, fetches;
  int index, type, write;
};
Timing TimingSlot(int slot);

using Block = std::array<unsigned char, 18>;
inline Block Call(Block b) {
  KoltEntryPoint(b.data());
  return b;
}
inline unsigned Word(const Block& b, int at) {
  return b[at] | (b[at + 1] << 8);
}

// clang-format off
inline const Block kFetch =
    {0x01, 0x0B, 0x02, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
inline const Block kWriteM1000Is2 =
    {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x01, 0xE8, 0x03, 0x05, 0x00, 0x02, 0x00, 0, 0, 0, 0};
inline const Block kReadM1000 =
    {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x05, 0x00, 0xE8, 0x03, 0, 0, 0, 0, 0, 0, 0, 0};
// clang-format on

}  // namespace raw
