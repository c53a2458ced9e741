// The console's output code page on Windows (run under Wine): the platform layer's calls of
// GetConsoleMode, GetConsoleOutputCP, SetConsoleOutputCP and SetConsoleCtrlHandler pass through
// this test first (the binary is linked with --wrap on their import pointers), which plays a
// console of a chosen code page, or standard output sent to a pipe.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "platform/platform.h"

#if defined(_WIN64)
#define OKV_WRAPPED(name, argBytes) "__wrap___imp_" #name
#else
#define OKV_WRAPPED(name, argBytes) "___wrap__imp__" #name "@" #argBytes
#endif

namespace {

bool outputIsConsole = true;
UINT consolePage = 850;
std::vector<UINT> pagesSet;  // every SetConsoleOutputCP, in order
PHANDLER_ROUTINE interruptHandler = nullptr;

BOOL WINAPI PlayedGetConsoleMode(HANDLE handle, LPDWORD mode) {
  if (handle != GetStdHandle(STD_OUTPUT_HANDLE) || !outputIsConsole) {
    SetLastError(ERROR_INVALID_HANDLE);  // what a pipe or a file answers
    return FALSE;
  }
  *mode = ENABLE_PROCESSED_OUTPUT;
  return TRUE;
}

UINT WINAPI PlayedGetConsoleOutputCP() {
  return consolePage;
}

BOOL WINAPI RecordingSetConsoleOutputCP(UINT page) {
  pagesSet.push_back(page);
  consolePage = page;
  return TRUE;
}

BOOL WINAPI RecordingSetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  if (add != 0) interruptHandler = handler;
  return TRUE;
}

}  // namespace

extern "C" {
decltype(&GetConsoleMode) wrappedGetConsoleMode __asm__(OKV_WRAPPED(GetConsoleMode,
                                                                    8)) = PlayedGetConsoleMode;
decltype(&GetConsoleOutputCP) wrappedGetConsoleOutputCP __asm__(
    OKV_WRAPPED(GetConsoleOutputCP, 0)) = PlayedGetConsoleOutputCP;
decltype(&SetConsoleOutputCP) wrappedSetConsoleOutputCP __asm__(
    OKV_WRAPPED(SetConsoleOutputCP, 4)) = RecordingSetConsoleOutputCP;
decltype(&SetConsoleCtrlHandler) wrappedSetConsoleCtrlHandler __asm__(
    OKV_WRAPPED(SetConsoleCtrlHandler, 8)) = RecordingSetConsoleCtrlHandler;
}

namespace {

// Each test is a process of its own: the platform layer's note of the replaced page starts empty.
class ConsolePage : public testing::Test {};

TEST_F(ConsolePage, AConsoleOfAnotherPageShowsWindows1252UntilRestored) {
  consolePage = 850;
  platform::PrepareConsole();
  EXPECT_EQ(pagesSet, std::vector<UINT>{1252});
  platform::RestoreConsole();
  EXPECT_EQ(pagesSet, (std::vector<UINT>{1252, 850}));
  platform::RestoreConsole();  // nothing left to put back
  EXPECT_EQ(pagesSet.size(), 2u);
}

TEST_F(ConsolePage, AnInterruptPutsThePageBackAndStillEndsTheProgram) {
  consolePage = 437;
  platform::PrepareConsole();
  ASSERT_NE(interruptHandler, nullptr);
  EXPECT_EQ(interruptHandler(CTRL_C_EVENT), FALSE) << "the default handler must still run";
  EXPECT_EQ(pagesSet, (std::vector<UINT>{1252, 437}));
}

TEST_F(ConsolePage, OutputThatIsNoConsoleAndAConsoleAlready1252AreLeftAlone) {
  outputIsConsole = false;
  consolePage = 850;
  platform::PrepareConsole();
  platform::RestoreConsole();
  outputIsConsole = true;
  consolePage = 1252;
  platform::PrepareConsole();
  platform::RestoreConsole();
  EXPECT_TRUE(pagesSet.empty());
  EXPECT_EQ(interruptHandler, nullptr);
}

}  // namespace
