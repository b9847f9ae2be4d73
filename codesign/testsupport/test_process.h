// Temporary folders, files and programs for tests. Test code only.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace codesign::testing {

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
  std::string output;   // standard output; standard error goes to the test's own
};

// Runs argv[0] (an absolute path) with `argv`, the caller's environment and
// no standard input, and waits for it.
ProgramResult runProgram(const std::vector<std::string>& argv);

}  // namespace codesign::testing
