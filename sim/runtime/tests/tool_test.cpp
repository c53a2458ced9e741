// The control tool run as a child process against this test's state file: argument errors change
// nothing, commands land at the documented offsets, and request, watch and journal follow what the
// entry point does meanwhile.
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"
#include "raw_state.h"

namespace {

using Clock = std::chrono::steady_clock;
using raw::Block;
using raw::Call;

using raw::kFetch;
using raw::kReadM1000;
using raw::kWriteM1000Is2;

struct Child {
  child::Handle handle;
  std::string out_path, err_path;
};

struct Outcome {
  int code;  // exit status, or -1 when it did not exit normally in time
  std::string out, err;
};

// Read as text: on Windows the tool ends its lines in CR LF, as Windows programs write text.
std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

Child Start(const std::vector<std::string>& args) {
  static int serial = 0;
  std::string stem = raw::Path() + ".tool" + std::to_string(++serial);
  Child started = {0, stem + ".out", stem + ".err"};
  EXPECT_TRUE(child::Start(OKVSIM_TOOL, args, started.out_path, started.err_path, &started.handle))
      << "cannot start " << OKVSIM_TOOL;
  return started;
}

Outcome Finish(const Child& started, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  int code = -1;
  if (!child::Wait(started.handle, static_cast<int>(limit.count()), &code)) {
    child::Kill(started.handle);
    code = -1;
    ADD_FAILURE() << "tool still running after " << limit.count() << " ms";
  }
  Outcome o = {code, ReadText(started.out_path), ReadText(started.err_path)};
  files::Remove(started.out_path);
  files::Remove(started.err_path);
  return o;
}

Outcome Tool(const std::vector<std::string>& args) {
  return Finish(Start(args));
}

// Waits until the child's output holds `text`; false after two seconds.
bool WaitForOutput(const Child& child, const std::string& text) {
  auto deadline = Clock::now() + std::chrono::seconds(2);
  while (ReadText(child.out_path).find(text) == std::string::npos) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override { raw::FreshState(); }
};

TEST_F(ToolTest, BadArgumentsFailWithOneLineAndChangeNothing) {
  // clang-format off
  const std::vector<std::vector<std::string>> kBad = {
      {"get", "x5"}, {"get", "m10000"}, {"get", "m"}, {"get", "m12a"}, {"get", "m 5"},
      {"get", ""}, {"get"}, {"get", "m1", "q2"},
      {"set", "m01000", "1"}, {"set", "m1000", "70000"}, {"set", "m1000", "-32769"},
      {"set", "b1", "2"}, {"set", "i1", "-1"}, {"set", "l1", "0x100000000"},
      {"set", "l1", "-2147483649"}, {"set", "m1000", "abc"}, {"set", "m1000", "12x"},
      {"set", "m1000", ""}, {"set", "m1000", "0x"}, {"set", "m1000"}, {"set", "x1", "1"},
      {"set", "m1", "1", "2"},
      {"executor", "maybe"}, {"executor"},
      {"fault", "result", "256"}, {"fault", "delay", "-1"}, {"fault", "refuse-read", "0x10000"},
      {"fault", "refuse-write", "-1"}, {"fault", "never", "yes"}, {"fault", "garbage"},
      {"fault", "bogus", "1"}, {"fault"},
      {"status", "now"}, {"reset", "all"},
      {"journal", "--since"}, {"journal", "--since", "x"}, {"journal", "extra"},
      {"timings", "--since", "-1"}, {"timings", "extra"},
      {"watch", "q1"}, {"watch", "m1", "--duration", "soon"}, {"watch"},
      {"request", "x"}, {"request", "p", "--timeout", "soon"}, {"request"},
  };
  // clang-format on
  raw::Write(raw::kDelayMs, 4, 20);
  raw::SetVar(5, 1000, 3);
  auto before = raw::Snapshot();
  for (const auto& args : kBad) {
    std::string line;
    for (const auto& a : args) line += " '" + a + "'";
    SCOPED_TRACE(line);
    Outcome o = Tool(args);
    EXPECT_EQ(o.code, 2);
    EXPECT_EQ(o.out, "");
    ASSERT_FALSE(o.err.empty());
    EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << o.err;
  }
  EXPECT_EQ(raw::Snapshot(), before);
}

TEST_F(ToolTest, UnknownOrMissingCommandPrintsUsage) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"frob"}, std::vector<std::string>{}}) {
    Outcome o = Tool(args);
    EXPECT_EQ(o.code, 2);
    EXPECT_NE(o.err.find("usage: okvsim-runtime"), std::string::npos);
  }
}

TEST_F(ToolTest, EveryCommandHasHelp) {
  Outcome all = Tool({"--help"});
  EXPECT_EQ(all.code, 0);
  EXPECT_EQ(Tool({"--version"}).out, "okvsim-runtime " OKV_VERSION "\n");
  for (const char* name : {"get", "set", "executor", "fault", "status", "reset", "journal",
                           "timings", "watch", "request"}) {
    EXPECT_NE(all.out.find(std::string("  ") + name), std::string::npos) << name;
    Outcome one = Tool({name, "--help"});
    EXPECT_EQ(one.code, 0);
    EXPECT_EQ(one.out.rfind(std::string("usage: okvsim-runtime ") + name, 0), 0u) << one.out;
  }
}

TEST_F(ToolTest, SetAndGetUseTheDocumentedPlaces) {
  EXPECT_EQ(Tool({"set", "M0012", "0x1234"}).out, "m12 = 4660\n");
  EXPECT_EQ(raw::Read(raw::kVariables + 90000 + 2 * 12, 2), 0x1234u);
  Tool({"set", "l5", "-2"});
  EXPECT_EQ(raw::Read(raw::kVariables + 150000 + 4 * 5, 4), 0xFFFFFFFEu);
  Tool({"set", "u7", "1"});
  EXPECT_EQ(raw::Read(raw::kVariables + 20000 + 7, 1), 1u);
  Tool({"set", "t9999", "0xFFFFFFFF"});
  EXPECT_EQ(raw::Read(raw::kVariables + 30000 + 4 * 9999, 4), 0xFFFFFFFFu);
  Tool({"set", "c3", "-1"});
  raw::SetVar(6, 1, 0x80000000);
  Outcome got = Tool({"get", "m12", "L5", "b7", "T9999", "c3", "f1", "o1"});
  EXPECT_EQ(got.code, 0);
  EXPECT_EQ(
      got.out,
      "m12 = 4660\nl5 = -2\nb7 = 1\nt9999 = 4294967295\nc3 = 65535\nf1 = -2147483648\no1 = 0\n");
}

TEST_F(ToolTest, KnobsLandAtTheirOffsetsAndClearKeepsTheExecutor) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{"fault", "delay", "500"},
                                               {"fault", "never", "on"},
                                               {"fault", "result", "7"},
                                               {"fault", "refuse-read", "0xBEEF"},
                                               {"fault", "refuse-write", "258"},
                                               {"fault", "garbage", "on"},
                                               {"executor", "off"}}) {
    EXPECT_EQ(Tool(args).code, 0) << args[0];
  }
  EXPECT_EQ(raw::Read(raw::kDelayMs, 4), 500u);
  EXPECT_EQ(raw::Read(raw::kNever, 4), 1u);
  EXPECT_EQ(raw::Read(raw::kResult, 4), 7u);
  EXPECT_EQ(raw::Read(raw::kRefuseRead, 4), 0xBEEFu);
  EXPECT_EQ(raw::Read(raw::kRefuseWrite, 4), 258u);
  EXPECT_EQ(raw::Read(raw::kGarbage, 4), 1u);
  EXPECT_EQ(raw::Read(raw::kExecutor, 4), 0u);
  Outcome status = Tool({"status"});
  EXPECT_NE(status.out.find("executor off\ndelay-ms 500\nnever on\nresult 7\nrefuse-read 0xbeef\n"
                            "refuse-write 0x0102\ngarbage on\n"),
            std::string::npos)
      << status.out;
  Tool({"fault", "clear"});
  EXPECT_EQ(raw::Read(raw::kDelayMs, 4), 20u);
  for (std::size_t at :
       {raw::kNever, raw::kResult, raw::kRefuseRead, raw::kRefuseWrite, raw::kGarbage}) {
    EXPECT_EQ(raw::Read(at, 4), 0u) << "offset " << at;
  }
  EXPECT_EQ(raw::Read(raw::kExecutor, 4), 0u);
}

TEST_F(ToolTest, ResetRestoresDefaultsAndKeepsTheSequenceRunning) {
  Call(kWriteM1000Is2);
  Call(kFetch);
  ASSERT_EQ(raw::Var(5, 1000), 2u);
  raw::Write(raw::kExecutor, 4, 0);
  raw::Write(raw::kGarbage, 4, 1);
  EXPECT_EQ(Tool({"reset"}).code, 0);
  EXPECT_EQ(raw::Var(5, 1000), 0u);
  EXPECT_EQ(raw::Read(raw::kExecutor, 4), 1u);
  EXPECT_EQ(raw::Read(raw::kDelayMs, 4), 20u);
  EXPECT_EQ(raw::Read(raw::kGarbage, 4), 0u);
  EXPECT_EQ(raw::Read(raw::kWrites, 8), 0u);
  EXPECT_EQ(raw::Read(raw::kFetches, 8), 0u);
  EXPECT_EQ(raw::JournalSlot(0).seq, 0u);
  EXPECT_EQ(raw::Read(raw::kJournalLast, 8), 1u);
}

// A file the tool must not take for a state file is refused with its reason, exit code 1, and
// left byte for byte as it was; an empty or half-made one (its magic not yet written) is laid out.
TEST_F(ToolTest, FilesOfAnotherSizeOrLayoutAreRefusedAndLeftAsTheyAre) {
  const std::string dir = ::testing::TempDir();
  const std::string bad = raw::Path() + ".bad";
  std::vector<unsigned char> ours = raw::Snapshot();
  ASSERT_EQ(ours.size(), raw::kFileSize);
  auto with = [&](std::size_t at, std::uint32_t word) {
    std::vector<unsigned char> bytes = ours;
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(word >> (8 * i));
    return bytes;
  };
  const struct {
    const char* what;
    std::vector<unsigned char> bytes;
    const char* reason;
  } kRefused[] = {
      {"too short", std::vector<unsigned char>(ours.begin(), ours.begin() + 100),
       "it is too short (100 bytes, a state file has 206384)"},
      {"one byte too long",
       [&] {
         auto b = ours;
         b.push_back(7);
         return b;
       }(),
       "it is not a state file (206385 bytes, a state file has 206384)"},
      {"another magic", with(0, 0x464C457F),
       "it is not a state file (it does not start with K8SM)"},
      {"another version", with(4, 2),
       "it is a state file of another layout (version 2, 206384 bytes; this simulator's is "
       "version 1, 206384 bytes)"},
      {"another size field", with(8, 4096),
       "it is a state file of another layout (version 1, 4096 bytes; this simulator's is "
       "version 1, 206384 bytes)"},
  };
  for (const auto& c : kRefused) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(files::Replace(bad, c.bytes));
    files::SetEnv("KOLT8_SIM_STATE", bad);
    Outcome o = Tool({"set", "m1000", "1"});
    files::SetEnv("KOLT8_SIM_STATE", raw::Path());
    EXPECT_EQ(o.code, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "okvsim-runtime: cannot open the state file " + bad + ": " + c.reason +
                         "; left as it is: remove it, or name another file in KOLT8_SIM_STATE\n");
    std::vector<unsigned char> after(c.bytes.size() + 1);
    after.resize(static_cast<std::size_t>(files::ReadAt(bad, 0, after.data(), after.size())));
    EXPECT_TRUE(after == c.bytes) << "the file was changed";
  }

  // A folder that is not there: the system's reason, and nothing made.
  const std::string missing = dir + "okvsim-no-such-folder" + dir.back() + "x.state";
  files::SetEnv("KOLT8_SIM_STATE", missing);
  Outcome o = Tool({"status"});
  files::SetEnv("KOLT8_SIM_STATE", raw::Path());
  EXPECT_EQ(o.code, 1);
  const std::string said =
      "okvsim-runtime: cannot open the state file " + missing + ": its folder does not exist: ";
  EXPECT_EQ(o.err.rfind(said, 0), 0u) << o.err;
  EXPECT_GT(o.err.size(), said.size() + 1) << "no reason given";

  for (const auto& fresh : {std::vector<unsigned char>{}, with(0, 0)}) {
    SCOPED_TRACE(fresh.empty() ? "empty" : "magic not yet written");
    ASSERT_TRUE(files::Replace(bad, fresh));
    files::SetEnv("KOLT8_SIM_STATE", bad);
    Outcome made = Tool({"get", "m1000"});
    files::SetEnv("KOLT8_SIM_STATE", raw::Path());
    EXPECT_EQ(made.code, 0) << made.err;
    EXPECT_EQ(made.out, "m1000 = 0\n");
    unsigned char magic[4] = {};
    EXPECT_EQ(files::ReadAt(bad, 0, magic, 4), 4);
    EXPECT_EQ(std::string(magic, magic + 4), "K8SM");
  }
  files::Remove(bad);
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(ToolTest, JournalListsWritesAfterTheGivenSequence) {
  Block write = kWriteM1000Is2;
  Call(write);
  Call(kFetch);
  write[12] = 4;  // m1000 := 4
  Call(write);
  Call(kFetch);
  Outcome all = Tool({"journal"});
  EXPECT_EQ(all.code, 0);
  const std::vector<std::string> lines = Lines(all.out);
  ASSERT_EQ(lines.size(), 2u) << all.out;
  EXPECT_EQ(lines[0].rfind("seq=1 time_us=", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(" ref=m1000 value=2 result=0"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(" ref=m1000 value=4 result=0"), std::string::npos) << lines[1];
  Outcome since = Tool({"journal", "--since", "1"});
  EXPECT_EQ(since.out, lines[1] + "\n");
}

// A reset empties both rings but keeps their numbers counting: the entries after it are listed
// without --since, from the first one written after the reset.
TEST_F(ToolTest, JournalAndTimingsListTheEntriesWrittenAfterAReset) {
  Call(kWriteM1000Is2);
  Call(kFetch);
  ASSERT_EQ(Tool({"reset"}).code, 0);
  raw::Write(raw::kDelayMs, 4, 0);  // the reset brought back the default delay
  Block write = kWriteM1000Is2;
  write[12] = 4;  // m1000 := 4
  Call(write);
  Call(kFetch);
  const std::vector<std::string> journal = Lines(Tool({"journal"}).out);
  ASSERT_EQ(journal.size(), 1u);
  EXPECT_EQ(journal[0].rfind("seq=2 time_us=", 0), 0u) << journal[0];
  EXPECT_NE(journal[0].find(" ref=m1000 value=4 result=0"), std::string::npos) << journal[0];
  const std::vector<std::string> timings = Lines(Tool({"timings"}).out);
  ASSERT_EQ(timings.size(), 1u);
  EXPECT_EQ(timings[0].rfind("seq=2 submitted_us=", 0), 0u) << timings[0];
  // Asked for from before the reset, the listing still begins with the first entry there is.
  EXPECT_EQ(Lines(Tool({"journal", "--since", "1"}).out), journal);
}

TEST_F(ToolTest, TimingsListReadsAndWritesAfterTheGivenSequence) {
  raw::Write(raw::kDelayMs, 4, 0);
  Call(kReadM1000);
  Call(kFetch);
  Call(kWriteM1000Is2);
  Call(kFetch);
  Outcome all = Tool({"timings"});
  EXPECT_EQ(all.code, 0);
  const std::vector<std::string> lines = Lines(all.out);
  ASSERT_EQ(lines.size(), 2u) << all.out;
  EXPECT_EQ(lines[0].rfind("seq=1 submitted_us=", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find(" read ref=m1000 ready_us=0 fetched_us="), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(" fetches=1"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(" write ref=m1000 ready_us=0 "), std::string::npos) << lines[1];
  EXPECT_EQ(Tool({"timings", "--since", "1"}).out, lines[1] + "\n");
  EXPECT_NE(Tool({"status"}).out.find("\ntimings-last 2\n"), std::string::npos);
}

// The test plays the bridge through the entry point while the tool plays the application.
TEST_F(ToolTest, RequestFollowsTheBridgesCodesToTheResult) {
  Child tool = Start({"request", "r", "--timeout", "5"});
  auto deadline = Clock::now() + std::chrono::seconds(3);
  while (raw::Var(5, 1000) != 6 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(raw::Var(5, 1000), 6u) << "the tool never wrote the request";
  // clang-format off
  const Block kBridgeWrites[] = {
      // m1000 := 7, l1000 := 123, m1000 := 8
      {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x01, 0xE8, 0x03, 0x05, 0x00, 0x07, 0x00, 0, 0, 0, 0},
      {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x01, 0xE8, 0x03, 0x07, 0x00, 0x7B, 0x00, 0, 0, 0, 0},
      {0x00, 0x0B, 0x02, 0x00, 0, 0, 0x00, 0x01, 0xE8, 0x03, 0x05, 0x00, 0x08, 0x00, 0, 0, 0, 0},
  };
  // clang-format on
  for (const Block& write : kBridgeWrites) {
    ASSERT_EQ(raw::Word(Call(write), 0), 0u);
    ASSERT_NE(raw::Word(Call(kFetch), 0), 0xFFFFu);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  Outcome o = Finish(tool);
  EXPECT_EQ(o.code, 0) << o.out << o.err;
  std::size_t six = o.out.find("+0 ms m1000 = 6\n"), seven = o.out.find(" ms m1000 = 7\n");
  std::size_t eight = o.out.find(" ms m1000 = 8\n"), number = o.out.find("\nl1000 = 123\n");
  std::size_t total = o.out.find("\ntotal ");
  EXPECT_EQ(six, 0u) << o.out;
  EXPECT_TRUE(seven != std::string::npos && six < seven && seven < eight && eight < number &&
              number < total && total != std::string::npos)
      << o.out;
}

TEST_F(ToolTest, RequestGivesUpAfterItsTimeout) {
  auto start = Clock::now();
  Outcome o = Tool({"request", "p", "--timeout", "0.3"});
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(o.code, 1);
  EXPECT_NE(o.out.find("timeout after"), std::string::npos) << o.out;
  EXPECT_GE(took, 300);
  EXPECT_LT(took, 3000);
  EXPECT_EQ(raw::Var(5, 1000), 1u);
}

TEST_F(ToolTest, WatchPrintsChangesAndStopsOnTermination) {
  Child timed = Start({"watch", "m5", "--duration", "1"});
  ASSERT_TRUE(WaitForOutput(timed, " m5 = 0\n"));
  raw::SetVar(5, 5, 9);
  Outcome o = Finish(timed);
  EXPECT_EQ(o.code, 0);
  EXPECT_NE(o.out.find(" m5 = 9\n"), std::string::npos) << o.out;

  Child endless = Start({"watch", "l1000", "i3"});
  ASSERT_TRUE(WaitForOutput(endless, " i3 = 0\n"));
  child::Interrupt(endless.handle);
  EXPECT_EQ(Finish(endless, std::chrono::seconds(2)).code, 0);
}

}  // namespace
