// POSIX side of the tests' process and file helpers: posix_spawn with the output redirected,
// waitpid, signals, and pread/pwrite.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "child.h"

extern char** environ;

namespace child {

bool Start(const std::string& program, const std::vector<std::string>& args,
           const std::string& out_path, const std::string& err_path, Handle* handle) {
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&files, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = 0;
  const bool started =
      posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&files);
  *handle = pid;
  return started;
}

bool Wait(Handle handle, int limit_ms, int* code) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(static_cast<pid_t>(handle), &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (done == 0) return false;
  *code = done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

void Interrupt(Handle handle) {
  kill(static_cast<pid_t>(handle), SIGTERM);
}

void Kill(Handle handle) {
  kill(static_cast<pid_t>(handle), SIGKILL);
  int status = 0;
  waitpid(static_cast<pid_t>(handle), &status, 0);
}

}  // namespace child

namespace files {

int ProcessId() {
  return static_cast<int>(getpid());
}

void SetEnv(const char* name, const std::string& value) {
  setenv(name, value.c_str(), 1);
}

long long ReadAt(const std::string& path, std::size_t offset, void* bytes, std::size_t count) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t done = pread(fd, bytes, count, static_cast<off_t>(offset));
  close(fd);
  return done;
}

long long WriteAt(const std::string& path, std::size_t offset, const void* bytes,
                  std::size_t count) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t done = pwrite(fd, bytes, count, static_cast<off_t>(offset));
  close(fd);
  return done;
}

bool Replace(const std::string& path, const std::vector<unsigned char>& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool written = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  return close(fd) == 0 && written;
}

void Remove(const std::string& path) {
  unlink(path.c_str());
}

}  // namespace files
