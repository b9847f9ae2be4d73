#include "control/posix_command_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "platform/unique_fd.h"

namespace control {
namespace {

TEST(PosixCommandRunner, ReturnsTheTerminationStatus) {
  ::setenv("KORVANE_PROBE", "inherited", 1);
  const std::string cwd = std::filesystem::current_path();
  const struct {
    std::string path;
    std::vector<std::string> arguments;
    std::int32_t status;
  } cases[] = {
      {"/bin/true", {}, 0},
      {"/bin/false", {}, 1},
      {"/bin/sh", {"-c", "kill -KILL $$"}, 9},  // the signal that ended it
      {"/bin/sh",
       {"-c", R"(test $# = 2 && test "$1" = "a b" && test "$2" = "")", "sh", "a b", ""},
       0},
      {"/bin/sh",
       {"-c", R"sh(test "$KORVANE_PROBE" = inherited && test "$(pwd -P)" = "$1")sh", "sh", cwd},
       0},
      // Far beyond a pipe's capacity on both streams: nobody reads them.
      {"/bin/sh", {"-c", "head -c 1048576 /dev/zero >&2; head -c 1048576 /dev/zero; exit 5"}, 5},
      // Tools that cannot start: missing, no path, a directory, not
      // executable, and a bare name (no search path).
      {"/nonexistent/tool", {}, -1},
      {"", {}, -1},
      {"/tmp", {}, -1},
      {"/etc/passwd", {}, -1},
      {"true", {}, -1},
  };
  PosixCommandRunner runner;
  for (const auto& c : cases) {
    EXPECT_EQ(runner.runCommand(c.path, c.arguments), c.status)
        << c.path << " " << c.arguments.size();
  }
}

TEST(PosixCommandRunner, ToolGetsNullStreamsAndNoOtherDescriptor) {
  // One descriptor without close-on-exec, as a careless library might open.
  platform::UniqueFd leaky(::open("/dev/null", O_RDONLY));
  ASSERT_TRUE(leaky);
  // The tool checks with stat and readlink only, so it opens nothing itself.
  std::vector<std::string> arguments{"-c", R"sh(
    for n in "$@"; do test ! -e /proc/$$/fd/$n || exit 1; done
    for n in 0 1 2; do test "$(readlink /proc/$$/fd/$n)" = /dev/null || exit 2; done)sh",
                                     "sh"};
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const std::string n = entry.path().filename();
    if (n != "0" && n != "1" && n != "2") arguments.push_back(n);
  }
  EXPECT_EQ(PosixCommandRunner().runCommand("/bin/sh", arguments), 0);
}

}  // namespace
}  // namespace control
