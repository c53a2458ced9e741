// The console's output code page and input mode on Windows (run under Wine): the platform layer's
// calls of GetConsoleMode, SetConsoleMode, GetConsoleOutputCP, SetConsoleOutputCP and
// SetConsoleCtrlHandler pass through this test first (the binary is linked with --wrap on their
// import pointers), which plays a console of a chosen code page and input mode, or standard
// output and input sent to pipes.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "platform/platform.h"
#include "wrapped_import.h"

namespace {

// Standard input as the platform layer sees it: a handle of the test's own, so that it can never
// be taken for standard output whatever the test runner gave the process.
const HANDLE playedInput = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x5150));
// What a command prompt's window has by default: line input, echo, QuickEdit and insert mode.
constexpr DWORD kPromptInputMode = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT |
                                   ENABLE_MOUSE_INPUT | ENABLE_INSERT_MODE |
                                   ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS;

bool outputIsConsole = true;
bool inputIsConsole = true;
UINT consolePage = 850;
DWORD inputMode = kPromptInputMode;
std::vector<UINT> pagesSet;        // every SetConsoleOutputCP, in order
std::vector<DWORD> inputModesSet;  // every SetConsoleMode on standard input, in order
PHANDLER_ROUTINE interruptHandler = nullptr;

BOOL WINAPI PlayedGetConsoleMode(HANDLE handle, LPDWORD mode) {
  if (handle == GetStdHandle(STD_OUTPUT_HANDLE) && outputIsConsole) {
    *mode = ENABLE_PROCESSED_OUTPUT;
    return TRUE;
  }
  if (handle == playedInput && inputIsConsole) {
    *mode = inputMode;
    return TRUE;
  }
  SetLastError(ERROR_INVALID_HANDLE);  // what a pipe or a file answers
  return FALSE;
}

BOOL WINAPI RecordingSetConsoleMode(HANDLE handle, DWORD mode) {
  if (handle != playedInput || !inputIsConsole) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  inputModesSet.push_back(mode);
  // Like Windows, the extended flags change only when ENABLE_EXTENDED_FLAGS is in the call.
  constexpr DWORD extended = ENABLE_INSERT_MODE | ENABLE_QUICK_EDIT_MODE | ENABLE_EXTENDED_FLAGS;
  inputMode =
      (mode & ENABLE_EXTENDED_FLAGS) != 0 ? mode : (mode & ~extended) | (inputMode & extended);
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
decltype(&SetConsoleMode) wrappedSetConsoleMode __asm__(OKV_WRAPPED(SetConsoleMode,
                                                                    8)) = RecordingSetConsoleMode;
decltype(&GetConsoleOutputCP) wrappedGetConsoleOutputCP __asm__(
    OKV_WRAPPED(GetConsoleOutputCP, 0)) = PlayedGetConsoleOutputCP;
decltype(&SetConsoleOutputCP) wrappedSetConsoleOutputCP __asm__(
    OKV_WRAPPED(SetConsoleOutputCP, 4)) = RecordingSetConsoleOutputCP;
decltype(&SetConsoleCtrlHandler) wrappedSetConsoleCtrlHandler __asm__(
    OKV_WRAPPED(SetConsoleCtrlHandler, 8)) = RecordingSetConsoleCtrlHandler;
}

namespace {

// Each test is a process of its own: the platform layer's note of what it replaced starts empty.
class ConsolePage : public testing::Test {
 protected:
  void SetUp() override { SetStdHandle(STD_INPUT_HANDLE, playedInput); }
};

TEST_F(ConsolePage, AConsoleOfAnotherPageShowsWindows1252UntilRestored) {
  consolePage = 850;
  platform::PrepareConsole();
  EXPECT_EQ(pagesSet, std::vector<UINT>{1252});
  platform::RestoreConsole();
  EXPECT_EQ(pagesSet, (std::vector<UINT>{1252, 850}));
  platform::RestoreConsole();  // nothing left to put back
  EXPECT_EQ(pagesSet.size(), 2u);
}

TEST_F(ConsolePage, AnInterruptPutsThePageAndTheInputModeBackAndStillEndsTheProgram) {
  consolePage = 437;
  platform::PrepareConsole();
  ASSERT_NE(interruptHandler, nullptr);
  EXPECT_EQ(interruptHandler(CTRL_C_EVENT), FALSE) << "the default handler must still run";
  EXPECT_EQ(pagesSet, (std::vector<UINT>{1252, 437}));
  EXPECT_EQ(inputMode, kPromptInputMode);
}

TEST_F(ConsolePage, OutputThatIsNoConsoleAndAConsoleAlready1252AreLeftAlone) {
  outputIsConsole = false;
  inputIsConsole = false;
  consolePage = 850;
  platform::PrepareConsole();
  platform::RestoreConsole();
  outputIsConsole = true;
  consolePage = 1252;
  platform::PrepareConsole();
  platform::RestoreConsole();
  EXPECT_TRUE(pagesSet.empty());
  EXPECT_TRUE(inputModesSet.empty());
  EXPECT_EQ(interruptHandler, nullptr);
}

// A click in a window with QuickEdit on holds every console write until the selection ends.
class ConsoleInput : public ConsolePage {};

TEST_F(ConsoleInput, QuickEditAndInsertModeAreOffUntilTheModeIsPutBackExactly) {
  consolePage = 1252;  // the input mode alone must be enough for the interrupt handler
  inputMode = kPromptInputMode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT);
  const DWORD before = inputMode;
  constexpr DWORD offBits = ENABLE_QUICK_EDIT_MODE | ENABLE_INSERT_MODE;
  platform::PrepareConsole();
  EXPECT_EQ(inputMode & offBits, 0u);
  EXPECT_EQ(inputMode & ~offBits, before & ~offBits) << "the other bits of the mode are the user's";
  EXPECT_NE(interruptHandler, nullptr);
  platform::RestoreConsole();
  EXPECT_EQ(inputMode, before);
  platform::RestoreConsole();
  EXPECT_EQ(inputModesSet.size(), 2u) << "put back once";
}

TEST_F(ConsoleInput, AConsoleWithoutQuickEditOrInsertModeIsLeftAlone) {
  consolePage = 1252;
  inputMode = ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_EXTENDED_FLAGS;
  platform::PrepareConsole();
  platform::RestoreConsole();
  EXPECT_TRUE(inputModesSet.empty());
  EXPECT_EQ(interruptHandler, nullptr);
}

}  // namespace
