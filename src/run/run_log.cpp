// okvbridge-run's log: one stamped line per message, a file rotated by size, and the console
// whenever the file cannot be written, so that no line is ever lost and the bridge never waits.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "run/run.h"
#include "run/run_os.h"

namespace okvrun {

namespace {

std::string path;  // empty: standard output
std::uint64_t limit = 0;
std::uint32_t files = 1;
std::FILE* file = nullptr;
std::uint64_t written = 0;      // bytes in the current file
std::uint64_t consoleOnly = 0;  // lines that reached only the console while the file failed
std::string trouble;            // why the file cannot be written, while it cannot

void ToConsole(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

std::string Numbered(std::uint32_t k) {
  return path + "." + std::to_string(k);
}

std::string Opened() {
  file = std::fopen(path.c_str(), runos::LogFileMode());
  if (file == nullptr) return path + " cannot be opened for writing (" + std::strerror(errno) + ")";
  std::fseek(file, 0, SEEK_END);
  const long size = std::ftell(file);
  written = size > 0 ? static_cast<std::uint64_t>(size) : 0;
  return "";
}

// The current file becomes FILE.1, FILE.1 FILE.2 and so on; the oldest beyond the count goes.
// Answers "" or why the current file could not be moved (an editor holding it on Windows), in
// which case it simply grows on.
std::string Rotated() {
  std::fclose(file);
  file = nullptr;
  if (files <= 1) {
    std::remove(path.c_str());
    return "";
  }
  std::remove(Numbered(files - 1).c_str());
  for (std::uint32_t k = files - 1; k > 1; --k) {
    std::rename(Numbered(k - 1).c_str(), Numbered(k).c_str());
  }
  if (std::rename(path.c_str(), Numbered(1).c_str()) != 0) {
    return path + " could not be renamed " + Numbered(1) + " (" + std::strerror(errno) + ")";
  }
  return "";
}

bool Written(const std::string& line) {
  const bool ok =
      std::fwrite(line.data(), 1, line.size(), file) == line.size() && std::fflush(file) == 0;
  if (ok) written += line.size();
  return ok;
}

// The file failed: the line goes to the console, and the file is tried again at the next line.
void Fail(const std::string& line, const std::string& why) {
  if (file != nullptr) std::fclose(file);
  file = nullptr;
  if (trouble.empty()) {
    trouble = why;
    ToConsole(runos::LocalStamp() + " # log: " + why + "; its lines go to the console until it " +
              "can be written again" + runos::LineEnd());
  }
  ToConsole(line);
  ++consoleOnly;
}

// After a failure, the file back: it says what it missed, which the console holds.
void Recovered(const std::string& stamp) {
  const std::string note = stamp + " # log: written again; " + std::to_string(consoleOnly) +
                           " lines went to the console only (" + trouble + ")" + runos::LineEnd();
  trouble.clear();
  consoleOnly = 0;
  if (!Written(note)) Fail(note, "the log file failed again");
}

// `line` begins with `stamp`, which a note written before it bears too, so that the stamps of the
// log never go back.
void WriteLine(const std::string& stamp, const std::string& line) {
  if (path.empty()) {
    ToConsole(line);
    return;
  }
  if (file == nullptr) {
    const std::string why = Opened();
    if (!why.empty()) {
      Fail(line, why);
      return;
    }
  }
  if (written > 0 && written + line.size() > limit) {
    const std::string why = Rotated();
    const std::string opened = Opened();
    if (!opened.empty()) {
      Fail(line, opened);
      return;
    }
    const std::string note = stamp +
                             " # log: " + (why.empty() ? "continued from " + Numbered(1) : why) +
                             runos::LineEnd();
    if (!Written(note)) {
      Fail(line, path + " cannot be written (" + std::strerror(errno) + ")");
      return;
    }
  }
  if (!trouble.empty()) Recovered(stamp);
  if (file == nullptr || !Written(line)) {
    Fail(line, path + " cannot be written (" + std::strerror(errno) + ")");
  }
}

}  // namespace

std::string OpenLog(const std::string& logPath, std::uint64_t size, std::uint32_t count) {
  path = logPath;
  limit = size;
  files = count;
  if (path.empty()) return "";
  const std::string why = Opened();
  if (!why.empty()) {
    trouble = why;
    ToConsole(runos::LocalStamp() + " # log: " + why + "; its lines go to the console until it " +
              "can be written" + runos::LineEnd());
  }
  return why;
}

void LogBridge(const std::string& stamp, const std::string& message) {
  WriteLine(stamp, stamp + " > " + Bare(message) + runos::LineEnd());
}

void LogOwn(const std::string& text) {
  const std::string stamp = runos::LocalStamp();
  WriteLine(stamp, stamp + " # " + text + runos::LineEnd());
}

void CloseLog() {
  if (file != nullptr) std::fclose(file);
  file = nullptr;
}

}  // namespace okvrun
