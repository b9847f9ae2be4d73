// Starting external tools from the threaded daemon: the counterpart of the
// platform's task and pipe objects. Children are started with posix_spawn
// (never fork), inherit the daemon's environment and working directory, and
// inherit none of its descriptors beyond standard input, output and error.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace platform {

// Where one standard stream of a child goes.
enum class ChildStream {
  kInherit,  // the daemon's own stream
  kNull,     // /dev/null
  kPipe,     // a pipe whose other end the daemon keeps (standard input or output)
};

struct SpawnOptions {
  ChildStream input = ChildStream::kNull;
  ChildStream output = ChildStream::kNull;
  ChildStream error = ChildStream::kNull;
};

// How a child ended, read the way the home platform's terminationStatus reads
// it: the exit status, or the number of the signal that ended it.
struct ExitStatus {
  bool signalled = false;
  int code = 0;
  bool operator==(const ExitStatus&) const = default;
};

// Outcome of reading a child's standard output to its end.
enum class ReadOutcome { kEndOfFile, kTimedOut, kTooLarge, kFailed };

// One started child process. The owner always reaps it: a child that has not
// been waited for when its Child is destroyed is killed (SIGKILL) and reaped.
// Move-only. One Child is used by one thread at a time. Waiting relies on no
// one else reaping the child (no waitpid(-1) elsewhere, SIGCHLD not ignored).
class Child {
 public:
  Child() = default;
  Child(Child&& other) noexcept;
  Child& operator=(Child&& other) noexcept;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  // Starts the executable at `path` (used as given, no search path) with
  // argv = {path, arguments...}, the daemon's environment, its working
  // directory, default signal dispositions, an empty signal mask, and a
  // process group of its own (led by the child). Only the
  // three standard streams are open in the child, set by `options`. On
  // failure returns a Child that is not valid() and, when `err` is given,
  // sets `*err` to the failed call, the path and the reason, e.g.
  // "posix_spawn /bin/ps: No such file or directory" (exec failures are
  // reported so too); `*err` is cleared on success. kPipe is accepted for
  // `options.input` and `options.output` (EINVAL for `options.error`).
  static Child spawn(const std::string& path, const std::vector<std::string>& arguments,
                     const SpawnOptions& options, std::string* err = nullptr);

  // True from a successful start until the child has been reaped.
  bool valid() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Appends the child's standard output (the kPipe stream) to `into` until end
  // of file, `deadline`, or more than `maxBytes` in `into`, whichever comes
  // first. The pipe is closed when this returns; kFailed also when there is no
  // pipe (the output was not kPipe, or it was read before).
  ReadOutcome readOutput(std::string& into, std::chrono::steady_clock::time_point deadline,
                         std::size_t maxBytes);

  // Writes all of `bytes` to the child's standard input (the kPipe stream),
  // then closes it so the child sees the end. False when there is no such
  // pipe or the write fails, e.g. because the child exited early (the caller
  // must have SIGPIPE ignored); the child's status then tells what happened.
  bool writeInput(std::string_view bytes);

  // Blocks until the child exits and reaps it (EINTR is retried). Returns
  // nullopt only when the child cannot be waited for (it was reaped by someone
  // else); the Child is no longer valid() afterwards either way.
  std::optional<ExitStatus> wait();

  // Waits until the child exits or `deadline` passes. Returns the status (and
  // the child is reaped) when it exited in time; nullopt when it is still
  // running at the deadline (it stays valid: end it with killAndReap), or
  // when it cannot be waited for (as for wait(); it is no longer valid).
  std::optional<ExitStatus> waitUntil(std::chrono::steady_clock::time_point deadline);

  // Sends SIGKILL to the child and its process group, and reaps the child.
  // No effect on a Child that is not valid().
  void killAndReap();

 private:
  Child(pid_t pid, UniqueFd input, UniqueFd output)
      : pid_(pid), input_(std::move(input)), output_(std::move(output)) {}

  pid_t pid_ = -1;
  UniqueFd input_;
  UniqueFd output_;
  UniqueFd pidfd_;
};

}  // namespace platform
