#include "control/process_signals.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <sstream>

#include "control/posix_command_runner.h"
#include "platform/subprocess.h"
#include "platform/unique_fd.h"
#include "testsupport/testsupport.h"

namespace control {
namespace {

// Above PID_MAX_LIMIT (2^22): no process can ever be hit through it.
constexpr std::int64_t kNeverAPid = (std::int64_t{1} << 22) + 1;
constexpr std::int64_t kInt32Max = INT32_MAX;

struct Recorder : ProcessSignaller, CommandRunner {
  bool mayTarget(std::int32_t pid) override { return pid != kNoTarget; }
  bool signalProcess(std::int32_t pid, int signal) override {
    if (!mayTarget(pid)) return false;
    signals.emplace_back(pid, signal);
    return status == 0;
  }
  ToolStatus runCommand(const std::string& path, const std::vector<std::string>& args) override {
    runs.emplace_back(path, args);
    return status == -1 ? ToolStatus{} : ToolStatus::exited(status);
  }
  static constexpr std::int32_t kNoTarget = 4242;
  std::vector<std::pair<std::int32_t, int>> signals;
  std::vector<std::pair<std::string, std::vector<std::string>>> runs;
  std::int32_t status = 0;
};

TEST(SignalArgument, AcceptsOnlyWhatTheRealKillTakesAsItsSignal) {
  std::vector<std::string> accepted = {"-9",       "-09",          "-0",          "-64",
                                       "-SigStop", "-sigrtmin+30", "-SIGRTMIN+0", "-RTMIN+1"};
  std::istringstream names(
      "HUP INT QUIT ILL TRAP ABRT IOT BUS FPE KILL USR1 SEGV USR2 PIPE ALRM TERM STKFLT CHLD CLD "
      "CONT STOP TSTP TTIN TTOU URG XCPU XFSZ VTALRM PROF WINCH IO POLL PWR SYS RTMIN");
  for (std::string name; names >> name;) {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(c | 0x20);
    accepted.insert(accepted.end(), {"-" + name, "-sig" + lower});
  }
  // kill exits 0 for a zombie of ours and fails for a pid that cannot exist only when it
  // read the text as the signal (an option such as -l exits 0 for both).
  platform::Child zombie = platform::Child::spawn("/bin/true", {}, {});
  siginfo_t info{};
  ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(zombie.pid()), &info, WEXITED | WNOWAIT), 0);
  PosixCommandRunner runner;
  for (const auto& text : accepted) {
    EXPECT_TRUE(isSignalArgument(text)) << text;
    EXPECT_TRUE(runner.runCommand(kKillToolPath, {text, std::to_string(zombie.pid())}).succeeded())
        << text;
    EXPECT_FALSE(runner.runCommand(kKillToolPath, {text, std::to_string(kNeverAPid)}).succeeded())
        << text;
  }
  // kill reads these as pids, options, the end of options, or a group ("-9x" is kill(-9)).
  const char* const refused[] = {
      "",      "-",           "--",     "1",        "9",           "STOP",      "-l",
      "-L",    "-a",          "-p",     "-q",       "-s",          "-V",        "--verbose",
      "-9x",   "-1e3",        "-0x9",   "-+9",      "- 9",         "-9 ",       " -9",
      "-65",   "-009",        "-RTMAX", "-RTMIN-1", "-RTMIN+",     "-RTMIN+31", "-SIG",
      "-SIG9", "-SIGSIGKILL", "-EXIT",  "-KILLL",   "-K\xC3\xA9LL"};
  for (const char* text : refused) EXPECT_FALSE(isSignalArgument(text)) << text;
  EXPECT_FALSE(isSignalArgument(std::string("-KILL\0x", 7)));
}

TEST(TerminateAndSendSignal, ReachOnlyOneProcessNeverTheDaemonWithTheTextAsReceived) {
  Recorder recorder;
  EXPECT_FALSE(terminateProcess(Recorder::kNoTarget, recorder));  // the daemon, a tool of its
  EXPECT_FALSE(sendSignal(Recorder::kNoTarget, "-STOP", recorder, recorder));
  EXPECT_FALSE(sendSignal(42, "-l", recorder, recorder));  // any of SignalArgument's refused list
  // (Nothing signalled or run: the lists below hold only the later calls.)

  EXPECT_TRUE(terminateProcess(kInt32Max, recorder));
  EXPECT_TRUE(sendSignal(42, "-stop", recorder, recorder));
  recorder.status = 1;
  EXPECT_FALSE(terminateProcess(42, recorder));
  EXPECT_FALSE(sendSignal(kInt32Max, "-SIGRTMIN+3", recorder, recorder));
  recorder.status = -1;
  EXPECT_FALSE(sendSignal(7, "-9", recorder, recorder));
  EXPECT_EQ(recorder.signals, (decltype(recorder.signals){{kInt32Max, SIGKILL}, {42, SIGKILL}}));
  EXPECT_EQ(recorder.runs, (decltype(recorder.runs){{"/bin/kill", {"-stop", "42"}},
                                                    {"/bin/kill", {"-SIGRTMIN+3", "2147483647"}},
                                                    {"/bin/kill", {"-9", "7"}}}));
}

TEST(PosixCommandRunner, ReturnsTheTerminationStatus) {
  ::setenv("KORVANE_PROBE", "inherited", 1);
  // One descriptor without close-on-exec, as a careless library might open.
  platform::UniqueFd leaky(::open("/dev/null", O_RDONLY));
  ASSERT_TRUE(leaky);
  // The arguments as given, the environment and working directory inherited,
  // null streams and no other descriptor: the script checks with stat and
  // readlink only, so it opens nothing itself.
  const char* const script = R"sh(
    test "$1" = "a b" && test "$2" = "" && test "$KORVANE_PROBE" = inherited || exit 1
    test "$(pwd -P)" = "$3" && shift 3 || exit 2
    for n in "$@"; do test ! -e /proc/$$/fd/$n || exit 3; done
    for n in 0 1 2; do test "$(readlink /proc/$$/fd/$n)" = /dev/null || exit 4; done)sh";
  std::vector<std::string> probe{"-c", script, "sh", "a b", "", std::filesystem::current_path()};
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const std::string n = entry.path().filename();
    if (n != "0" && n != "1" && n != "2") probe.push_back(n);
  }
  using End = ToolStatus::End;
  // A tool that outlives the deadline, stopped or not, is killed with what it
  // started: the grandchild writes its pid and sleeps in the tool's group.
  testsupport::TempDir dir;
  const std::string grandchild = dir.file("grandchild");
  const struct {
    std::string path;
    std::vector<std::string> arguments;
    ToolStatus status;
  } cases[] = {
      {"/bin/false", {}, ToolStatus::exited(1)},
      {"/bin/sh", {"-c", "kill -KILL $$"}, {End::kSignalled, 9}},  // the signal that ended it
      {"/bin/sh", probe, ToolStatus::exited(0)},
      // Far beyond a pipe's capacity on both streams: nobody reads them.
      {"/bin/sh",
       {"-c", "head -c 1048576 /dev/zero >&2; head -c 1048576 /dev/zero; exit 5"},
       ToolStatus::exited(5)},
      {"/bin/sh", {"-c", "sleep 60 & echo $! >" + grandchild + "; wait"}, {End::kTimedOut, -1}},
      {"/bin/sh", {"-c", "kill -STOP $$"}, {End::kTimedOut, -1}},
      // Tools that cannot start: missing, not executable, and a bare name (no
      // search path).
      {"/nonexistent/tool", {}, {}},
      {"/etc/passwd", {}, {}},
      {"true", {}, {}},
  };
  PosixCommandRunner runner(std::chrono::milliseconds(300));
  for (const auto& c : cases) {
    EXPECT_EQ(runner.runCommand(c.path, c.arguments), c.status)
        << c.path << " " << c.arguments.size();
  }
  const pid_t sleeper = std::stoi(testsupport::readFile(grandchild));
  EXPECT_TRUE(testsupport::eventually([&] { return ::kill(sleeper, 0) != 0; }))
      << "the tool's own child outlived the deadline";
}

}  // namespace
}  // namespace control
