#include "codesign/testsupport/test_process.h"

#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>

#include "codesign/file_io.h"
#include "platform/fd_io.h"
#include "platform/subprocess.h"

namespace codesign::testing {

using platform::Child;
using platform::ExitStatus;
using platform::UniqueFd;
using platform::ChildStream;

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
  ASSERT_TRUE(platform::writeAll(
      fd.get(), std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())))
      << path;
  ASSERT_EQ(::fchmod(fd.get(), mode), 0) << path;
}

void writeFile(const std::string& path, std::string_view text, mode_t mode) {
  writeFile(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), mode);
}

ProgramResult runProgram(const std::vector<std::string>& argv) {
  ProgramResult result;
  Child child = Child::spawn(argv[0], {argv.begin() + 1, argv.end()},
                             {ChildStream::kNull, ChildStream::kPipe, ChildStream::kInherit});
  if (!child.valid()) return result;
  child.readOutput(result.output, std::chrono::steady_clock::now() + std::chrono::minutes(5),
                   std::size_t{1} << 30);
  const std::optional<ExitStatus> status = child.wait();
  if (status) result.exitStatus = status->signalled ? 128 + status->code : status->code;
  return result;
}

}  // namespace codesign::testing
