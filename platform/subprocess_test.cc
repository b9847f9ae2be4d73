#include "platform/subprocess.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>

namespace platform {
namespace {

using std::chrono::steady_clock;

// True when `pid` is no child of ours any more, i.e. it has been reaped.
bool reaped(pid_t pid) {
  int status;
  return ::waitpid(pid, &status, WNOHANG) == -1 && errno == ECHILD;
}

TEST(Child, DestructorKillsAndReapsARunningChild) {
  pid_t pid;
  {
    Child child = Child::spawn("/bin/sleep", {"1000"}, {});
    ASSERT_TRUE(child.valid());
    pid = child.pid();
    Child moved = std::move(child);
    EXPECT_FALSE(child.valid());
  }
  EXPECT_TRUE(reaped(pid));
}

TEST(Child, WaitUntilAPassedDeadlineLeavesTheChildRunning) {
  Child child = Child::spawn("/bin/sleep", {"1000"}, {});
  ASSERT_TRUE(child.valid());
  EXPECT_EQ(child.waitUntil(steady_clock::now()), std::nullopt);
  ASSERT_TRUE(child.valid());
  const pid_t pid = child.pid();
  child.killAndReap();
  EXPECT_FALSE(child.valid());
  EXPECT_TRUE(reaped(pid));
}

TEST(Child, WaitUntilReportsExitAndSignal) {
  const auto later = steady_clock::now() + std::chrono::minutes(5);
  Child exits = Child::spawn("/bin/sh", {"-c", "exit 3"}, {});
  EXPECT_EQ(exits.waitUntil(later), (ExitStatus{false, 3}));
  Child killed = Child::spawn("/bin/sh", {"-c", "kill -TERM $$"}, {});
  EXPECT_EQ(killed.waitUntil(later), (ExitStatus{true, SIGTERM}));
}

TEST(Child, ReadOutputStopsAtTheSizeLimit) {
  Child child = Child::spawn("/bin/sh", {"-c", "echo 0123456789"}, {.output = ChildStream::kPipe});
  std::string out;
  EXPECT_EQ(child.readOutput(out, steady_clock::now() + std::chrono::minutes(5), 5),
            ReadOutcome::kTooLarge);
  EXPECT_LE(out.size(), 5u);
}

TEST(Child, RefusesAPipeForInputOrError) {
  for (const SpawnOptions& options :
       {SpawnOptions{.input = ChildStream::kPipe}, SpawnOptions{.error = ChildStream::kPipe}}) {
    int error = 0;
    EXPECT_FALSE(Child::spawn("/bin/true", {}, options, &error).valid());
    EXPECT_EQ(error, EINVAL);
  }
}

}  // namespace
}  // namespace platform
