// Test support for every test program: temporary folders, whole files, and
// programs run to completion. Test code only.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// A fresh folder under $TMPDIR (or /tmp), readable and searchable by all (a
// test may run programs from it as another user), removed with everything in
// it (links removed, never followed) by the destructor. Aborts when it
// cannot be made.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // path()/name as text.
  std::string file(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Creates or truncates `path`, writes `bytes` and sets `mode`; a test failure
// when it cannot.
void writeFile(const std::filesystem::path& path, std::string_view bytes, mode_t mode = 0644);

// The whole content of a file; "" when it cannot be read.
std::string readFile(const std::filesystem::path& path);

struct RunResult {
  int status = -1;  // the exit status, or 128 + N when killed by signal N
  std::string out;  // standard output
  std::string err;  // standard error
};

// Polls `ready` until it holds: false when it still does not after 30 s.
bool eventually(const std::function<bool()>& ready);

// Waits for the child `pid` to end: its exit status, or 128 + N when signal N
// killed it.
int reap(pid_t pid);

// Runs `body` in a forked child, which exits with its result, and reaps it;
// -1 when fork fails.
int runInChild(const std::function<int()>& body);

// In a forked child: becomes `uid` (with group 65534 and no others) when
// given, then execs argv[0] (an absolute path) with `argv`. Never returns.
[[noreturn]] void execAs(const std::vector<std::string>& argv, std::optional<uid_t> uid);

// Runs argv[0] (an absolute path) with `argv`, the caller's environment and
// /dev/null as standard input, to its end, capturing both output streams; as
// `uid` as execAs does.
RunResult run(const std::vector<std::string>& argv, std::optional<uid_t> uid = std::nullopt);

}  // namespace testsupport
