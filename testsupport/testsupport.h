#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// A fresh folder readable by all (programs may run from it as another user), removed
// with its contents (links never followed) by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// A test failure when it cannot.
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

// The child's exit status, or 128 + N when signal N killed it.
int reap(pid_t pid);

// `body`'s result in a forked child; -1 when fork fails.
int runInChild(const std::function<int()>& body);

// In a forked child: becomes `uid` (with group 65534 and no others) when
// given, then execs argv[0] (an absolute path) with `argv`. Never returns.
[[noreturn]] void execAs(const std::vector<std::string>& argv, std::optional<uid_t> uid);

// Runs argv (argv[0] absolute) to its end, /dev/null as input, output captured.
RunResult run(const std::vector<std::string>& argv, std::optional<uid_t> uid = std::nullopt);

}  // namespace testsupport
