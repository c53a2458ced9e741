// A GoogleTest main that runs every selected test in a child process of its own, forked from this
// one. The bridge keeps process-wide state (the runtime link, the cycle's flags), so its unit tests
// each need a fresh process; under valgrind a fork costs next to nothing, where starting valgrind
// afresh for each of hundreds of tests costs a second apiece.
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool MatchesAny(const std::string& name, const std::string& patterns) {
  std::size_t start = 0;
  while (start <= patterns.size()) {
    std::size_t end = patterns.find(':', start);
    if (end == std::string::npos) end = patterns.size();
    const std::string pattern = patterns.substr(start, end - start);
    if (!pattern.empty() && fnmatch(pattern.c_str(), name.c_str(), 0) == 0) return true;
    start = end + 1;
  }
  return false;
}

// GoogleTest's filter: positive patterns, then optionally '-' and negative ones.
bool Selected(const std::string& name, const std::string& filter) {
  const std::size_t dash = filter.find('-');
  const std::string positive = dash == std::string::npos ? filter : filter.substr(0, dash);
  const std::string negative = dash == std::string::npos ? "" : filter.substr(dash + 1);
  return MatchesAny(name, positive.empty() ? "*" : positive) && !MatchesAny(name, negative);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const std::string filter = GTEST_FLAG_GET(filter);
  std::vector<std::string> names;
  const testing::UnitTest& all = *testing::UnitTest::GetInstance();
  for (int s = 0; s < all.total_test_suite_count(); ++s) {
    const testing::TestSuite& suite = *all.GetTestSuite(s);
    for (int t = 0; t < suite.total_test_count(); ++t) {
      const std::string name = std::string(suite.name()) + "." + suite.GetTestInfo(t)->name();
      if (Selected(name, filter)) names.push_back(name);
    }
  }
  if (names.empty()) {
    std::fprintf(stderr, "no test matches the filter '%s'\n", filter.c_str());
    return 1;
  }

  std::vector<std::string> failed;
  for (const std::string& name : names) {
    std::fflush(nullptr);  // nothing buffered may be written twice, by parent and child
    const pid_t child = fork();
    if (child < 0) {
      std::perror("fork");
      return 1;
    }
    if (child == 0) {
      GTEST_FLAG_SET(filter, name);
      std::exit(RUN_ALL_TESTS());
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) failed.push_back(name);
  }
  std::printf("\n%zu tests, each in its own process: %zu failed\n", names.size(), failed.size());
  for (const std::string& name : failed) std::printf("  FAILED %s\n", name.c_str());
  return failed.empty() ? 0 : 1;
}
