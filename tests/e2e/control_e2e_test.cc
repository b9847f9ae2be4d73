// Process control and application removal end to end, through the real
// daemon and korvane-helperctl. The daemon runs as init of a private pid
// namespace: should a refusal ever fail, a signal meant for "every process"
// reaches only this test's own processes, and shows up as a dead canary.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "tests/e2e/sandbox.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

char stateOf(pid_t hostPid) {
  std::ifstream stat("/proc/" + std::to_string(hostPid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const auto close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() ? '?' : text[close + 2];
}

// Waits until `hostPid` is in one of `states`.
bool reachesState(pid_t hostPid, std::string_view states) {
  for (int i = 0; i < 200; ++i) {
    if (states.find(stateOf(hostPid)) != std::string_view::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class ControlE2E : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(enterPrivateNamespaces(kPid, &why)) << why << " (end-to-end tests need root)";
    daemon_ = std::make_unique<Daemon>(true);  // first child: init of the pid namespace
    ASSERT_TRUE(daemon_->running());
    canary_ = std::make_unique<StartedProcess>(std::vector<std::string>{"/bin/sleep", "120"});
    canaryPid_ = std::to_string(innermostPid(canary_->pid()));
  }
  void TearDown() override {
    canary_.reset();
    daemon_.reset();
  }

  void expectNothingWasSignalled() {
    EXPECT_TRUE(daemon_->running());
    EXPECT_TRUE(reachesState(canary_->pid(), "S")) << stateOf(canary_->pid());
  }

  std::unique_ptr<Daemon> daemon_;
  std::unique_ptr<StartedProcess> canary_;
  std::string canaryPid_;  // as the daemon numbers it
};

TEST_F(ControlE2E, TerminateKillsTheProcess) {
  RunResult r = helperctl({"terminate", canaryPid_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "YES\n");
  const int status = canary_->reap();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
  canary_.reset();
  // Nothing is there any more.
  r = helperctl({"--json", "terminate", canaryPid_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "false\n");
}

TEST_F(ControlE2E, SignalStopsAndContinuesTheProcess) {
  EXPECT_EQ(helperctl({"signal", "-STOP", canaryPid_}).out, "YES\n");
  EXPECT_TRUE(reachesState(canary_->pid(), "T"));
  EXPECT_EQ(helperctl({"signal", "-SIGCONT", canaryPid_}).out, "YES\n");
  EXPECT_TRUE(reachesState(canary_->pid(), "S"));
  RunResult r = helperctl({"signal", "-BOGUS", canaryPid_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "NO\n");
}

TEST_F(ControlE2E, RefusesPidsThatNameMoreThanOneProcess) {
  // 4294967297 and -4294967295 would narrow to 1 and 1 in 32 bits.
  for (const char* pid : {"0", "-1", "-2", "4294967297", "-4294967295", "2147483648"}) {
    RunResult r = helperctl({"terminate", pid});
    EXPECT_EQ(r.status, 1) << pid << r.err;
    EXPECT_EQ(r.out, "NO\n") << pid;
    r = helperctl({"signal", "-STOP", pid});
    EXPECT_EQ(r.out, "NO\n") << pid;
  }
  expectNothingWasSignalled();
}

TEST_F(ControlE2E, RefusesSignalTextsKillWouldReadAsSomethingElse) {
  for (const char* text : {"", "1", "-l", "--", "-", "-9x", "-1e3", "--verbose", "STOP"}) {
    RunResult r = helperctl({"signal", text, canaryPid_});
    EXPECT_EQ(r.status, 1) << '"' << text << '"' << r.err;
    EXPECT_EQ(r.out, "NO\n") << text;
  }
  expectNothingWasSignalled();
}

TEST_F(ControlE2E, UninstallRemovesABundleButNothingItsLinksPointAt) {
  TempDir dir;
  const fs::path outside = dir.path() / "outside";
  fs::create_directories(outside / "keep");
  std::ofstream(outside / "keep" / "file") << "precious";
  const fs::path app = dir.path() / "Applications" / "Test.app";
  fs::create_directories(app / "Contents" / "MacOS");
  std::ofstream(app / "Contents" / "MacOS" / "Test") << "binary";
  fs::create_directory_symlink(outside / "keep", app / "Contents" / "Frameworks");
  fs::create_symlink(outside / "keep" / "file", app / "Contents" / "Info.plist");

  RunResult r = helperctl({"--json", "uninstall", app.string()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "{\"success\": true, \"message\": null}\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(app)));
  std::ifstream kept(outside / "keep" / "file");
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(kept)), {}), "precious");
  EXPECT_TRUE(fs::exists(dir.path() / "Applications"));

  r = helperctl({"uninstall", app.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.starts_with("NO\n")) << r.out;
  EXPECT_NE(r.out.find(app.string()), std::string::npos) << r.out;
}

TEST_F(ControlE2E, UninstallRefusesPathsThatCannotNameAnApplication) {
  TempDir dir;
  fs::create_directories(dir.path() / "a");
  for (const std::string& path :
       {std::string(""), std::string("relative/Test.app"), std::string("/"), std::string("/usr"),
        std::string("/etc/"), (dir.path() / "a" / ".." / "a").string()}) {
    RunResult r = helperctl({"uninstall", path});
    EXPECT_EQ(r.status, 1) << '"' << path << '"';
    EXPECT_TRUE(r.out.starts_with("NO\n") && r.out.size() > 4) << r.out;
  }
  EXPECT_TRUE(fs::exists(dir.path() / "a"));
  EXPECT_TRUE(fs::exists("/usr/bin"));
}

TEST_F(ControlE2E, SystemProcessesListsPsOutputLines) {
  RunResult r = helperctl({"system-processes"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string header = r.out.substr(0, r.out.find('\n'));
  EXPECT_NE(header.find("PID"), std::string::npos) << header;
  EXPECT_NE(header.find("COMMAND"), std::string::npos) << header;
  EXPECT_NE(r.out.find(" sleep\n"), std::string::npos);
  EXPECT_EQ(r.out.find("\n\n"), std::string::npos);
}

}  // namespace
}  // namespace e2e
