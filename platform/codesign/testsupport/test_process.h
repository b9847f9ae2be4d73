// Temporary folders and child processes for tests. Test code only.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace platform::security::testing {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when
// the owner goes. Aborts when it cannot be made.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

// Creates or truncates `path` and writes `bytes` to it with `mode`; a failed
// gtest assertion when it cannot.
void writeFile(const std::string& path, std::span<const std::uint8_t> bytes, mode_t mode = 0644);
void writeFile(const std::string& path, std::string_view text, mode_t mode = 0644);

struct ProgramResult {
  int exitStatus = -1;  // the exit code; 128 + N when killed by signal N; -1 when not started
  std::string output;   // standard output
  std::string errors;   // standard error
};

// Runs argv[0] (an absolute path) with `argv`, the caller's environment and
// no standard input, and waits for it.
ProgramResult runProgram(const std::vector<std::string>& argv);

// A running child: killed and reaped when its owner goes. Holds a pidfd of it.
class ChildProcess {
 public:
  // Starts argv[0] (an absolute path); nullopt when it cannot be started.
  static std::optional<ChildProcess> spawn(const std::vector<std::string>& argv);

  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&&) = delete;
  ChildProcess(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  int pidfd() const { return pidfd_.get(); }
  // Kills the child and reaps it; afterwards pid() names no process of ours
  // and pidfd() still refers to the dead one.
  void killAndReap();

 private:
  ChildProcess(pid_t pid, UniqueFd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}

  pid_t pid_ = -1;
  UniqueFd pidfd_;
};

// pidfd_open(2) through syscall(): glibc 2.36 may lack the wrapper.
UniqueFd openPidfd(pid_t pid);

}  // namespace platform::security::testing
