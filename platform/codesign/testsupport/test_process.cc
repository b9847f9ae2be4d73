#include "platform/codesign/testsupport/test_process.h"

#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

#include "platform/codesign/file_io.h"

extern char** environ;

namespace platform::security::testing {
namespace {

std::vector<char*> argvPointers(const std::vector<std::string>& argv) {
  std::vector<char*> pointers;
  for (const std::string& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

pid_t waitFor(pid_t pid, int* status) {
  pid_t result;
  do {
    result = ::waitpid(pid, status, 0);
  } while (result < 0 && errno == EINTR);
  return result;
}

}  // namespace

TempDir::TempDir() {
  const char* base = ::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/korvane-codesign-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    ::perror("mkdtemp");
    ::abort();
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  ::nftw(
      path_.c_str(),
      [](const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

void writeFile(const std::string& path, std::span<const std::uint8_t> bytes, mode_t mode) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
  ASSERT_TRUE(fd.valid()) << path;
  ASSERT_TRUE(writeAll(fd.get(), bytes.data(), bytes.size())) << path;
  ASSERT_EQ(::fchmod(fd.get(), mode), 0) << path;
}

void writeFile(const std::string& path, std::string_view text, mode_t mode) {
  writeFile(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), mode);
}

ProgramResult runProgram(const std::vector<std::string>& argv) {
  ProgramResult result;
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return result;
  UniqueFd outRead(out[0]), outWrite(out[1]);
  if (::pipe2(err, O_CLOEXEC) != 0) return result;
  UniqueFd errRead(err[0]), errWrite(err[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, errWrite.get(), 2);
  std::vector<char*> args = argvPointers(argv);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return result;
  outWrite.reset();
  errWrite.reset();

  struct pollfd fds[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
  std::string* sinks[2] = {&result.output, &result.errors};
  int open = 2;
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  if (waitFor(pid, &status) == pid) result.exitStatus = decodeStatus(status);
  return result;
}

UniqueFd openPidfd(pid_t pid) {
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

std::optional<ChildProcess> ChildProcess::spawn(const std::vector<std::string>& argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args = argvPointers(argv);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return std::nullopt;
  // pidfd_open gives O_CLOEXEC descriptors. Our unreaped child cannot be
  // replaced by another process under the same pid, so this names it.
  UniqueFd pidfd = openPidfd(pid);
  ChildProcess child(pid, std::move(pidfd));
  if (!child.pidfd_) return std::nullopt;  // the destructor kills and reaps it
  return child;
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), pidfd_(std::move(other.pidfd_)) {}

ChildProcess::~ChildProcess() { killAndReap(); }

void ChildProcess::killAndReap() {
  if (pid_ <= 0) return;
  // Our own unreaped child: its pid cannot have been reused yet.
  ::kill(pid_, SIGKILL);
  int status = 0;
  waitFor(pid_, &status);
  pid_ = -1;
}

}  // namespace platform::security::testing
