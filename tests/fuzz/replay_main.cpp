// The replay of a fuzz target's corpus, built with any compiler: every file of the folders (or
// the files) named on the command line goes once through the target's checks. It is how the
// default build keeps every input that ever broke a parser as a regression test.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_check.h"

namespace {

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The regular files of a folder, in name order so that a failing run is repeatable.
std::vector<std::string> FilesOf(const std::string& folder) {
  std::vector<std::string> files;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return files;
  while (dirent* entry = readdir(dir)) {
    const std::string path = folder + "/" + entry->d_name;
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) files.push_back(path);
  }
  closedir(dir);
  std::sort(files.begin(), files.end());
  return files;
}

bool Replay(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
  // A copy of exactly the file's size, so that a read past the input is a sanitizer's finding
  // here as under libFuzzer.
  std::vector<std::uint8_t> data(bytes.begin(), bytes.end());
  LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::printf(
        "usage: %s CORPUS_DIR_OR_FILE...\n"
        "Runs every input once through this fuzz target's checks; exits 0 when all held.\n"
        "A failed check prints its reason and aborts. No inputs at all is an error.\n",
        argv[0]);
    return argc < 2 ? 2 : 0;
  }
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::vector<std::string> files =
        IsDirectory(arg) ? FilesOf(arg) : std::vector<std::string>{arg};
    std::size_t here = 0;
    for (const std::string& file : files) {
      if (!Replay(file)) {
        std::fprintf(stderr, "%s: cannot read %s\n", argv[0], file.c_str());
        return 1;
      }
      ++here;
    }
    std::printf("%s: %zu inputs held\n", arg.c_str(), here);
    replayed += here;
  }
  if (replayed == 0) {
    std::fprintf(stderr, "%s: no inputs found: an empty corpus checks nothing\n", argv[0]);
    return 1;
  }
  return 0;
}
