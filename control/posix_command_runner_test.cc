#include "control/posix_command_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/unique_fd.h"

namespace control {
namespace {

class PosixCommandRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvane-runner-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string dir_;
  PosixCommandRunner runner_;
};

TEST_F(PosixCommandRunnerTest, ReturnsTheTerminationStatus) {
  struct Case {
    const char* what;
    std::string path;
    std::vector<std::string> arguments;
    std::int32_t status;
  };
  const Case cases[] = {
      {"success", "/bin/true", {}, 0},
      {"failure", "/bin/false", {}, 1},
      {"exit status", "/bin/sh", {"-c", "exit 7"}, 7},
      {"arguments in order, unsplit",
       "/bin/sh",
       {"-c", R"(test $# = 2 && test "$1" = "a b" && test "$2" = "")", "sh", "a b", ""},
       0},
      {"ended by a signal", "/bin/sh", {"-c", "kill -KILL $$"}, 9},
      // Both streams far beyond a pipe's capacity: an unread pipe would stop
      // the tool forever.
      {"chatty tool",
       "/bin/sh",
       {"-c", "head -c 1048576 /dev/zero >&2; head -c 1048576 /dev/zero; exit 5"},
       5},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(runner_.runCommand(c.path, c.arguments), c.status) << c.what;
  }
}

TEST_F(PosixCommandRunnerTest, ReturnsMinusOneWhenTheToolCannotStart) {
  const std::string plainFile = dir_ + "/plain";
  std::ofstream(plainFile) << "#!/bin/sh\nexit 0\n";
  ASSERT_EQ(::chmod(plainFile.c_str(), 0644), 0);
  for (const std::string& path :
       {std::string("/nonexistent/tool"), std::string(""), dir_, plainFile, std::string("true")}) {
    EXPECT_EQ(runner_.runCommand(path, {}), -1) << path;
  }
}

TEST_F(PosixCommandRunnerTest, ToolGetsOnlyNullStreamsAndNoOtherDescriptor) {
  // A descriptor opened without close-on-exec, as a careless library might.
  platform::UniqueFd leaky(::open("/dev/null", O_RDONLY));
  ASSERT_TRUE(leaky);
  // The tool checks that none of our descriptors above 2 is open in it. It
  // uses only stat and readlink, so that it opens nothing of its own first.
  std::vector<std::string> arguments{"-c", R"sh(
    for n in "$@"; do test ! -e /proc/$$/fd/$n || exit 1; done
    for n in 0 1 2; do test "$(readlink /proc/$$/fd/$n)" = /dev/null || exit 2; done)sh",
                                     "sh"};
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const std::string n = entry.path().filename();
    if (n != "0" && n != "1" && n != "2") arguments.push_back(n);
  }
  ASSERT_GT(arguments.size(), 3u);
  EXPECT_EQ(runner_.runCommand("/bin/sh", arguments), 0);
}

TEST_F(PosixCommandRunnerTest, ToolInheritsEnvironmentAndWorkingDirectory) {
  ::setenv("KORVANE_RUNNER_PROBE", "inherited", 1);
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(runner_.runCommand(
                "/bin/sh",
                {"-c", R"sh(test "$KORVANE_RUNNER_PROBE" = inherited && test "$(pwd -P)" = "$1")sh",
                 "sh", cwd}),
            0);
  ::unsetenv("KORVANE_RUNNER_PROBE");
}

}  // namespace
}  // namespace control
