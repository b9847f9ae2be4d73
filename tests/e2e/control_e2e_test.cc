// The daemon is init of a private pid namespace: should a refusal fail, a signal
// meant for "every process" reaches only this test's own, and shows as a dead canary.

#include <gtest/gtest.h>
#include <signal.h>

#include "tests/e2e/sandbox.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// Refused before anything is touched: 4294967297 and -4294967295 would narrow to 1,
// 2^32 and 2^32 - 1 to 0 and -1.
TEST(ControlE2E, SignalsRemovalAndTopReachWhatTheyNameAndNothingElse) {
  std::string why;
  ASSERT_TRUE(enterPrivateNamespaces(kPid, &why)) << why << " (end-to-end tests need root)";
  // Overlaid: were a removal of its executable not refused, only this view would change.
  overlay(fs::path(daemonPath()).parent_path());
  Daemon daemon(true);
  ASSERT_TRUE(daemon.running());
  StartedProcess canary({"/bin/sleep", "120"});
  const std::string pid = std::to_string(innermostPid(canary.pid()));  // as the daemon sees it
  // (That removal never follows the links inside a bundle is UninstallApp's.)
  TempDir dir;
  const fs::path app = dir.path() / "Applications" / "Test.app";
  fs::create_directories(app / "Contents" / "MacOS");
  fs::create_directory_symlink(dir.path() / "Applications", dir.path() / "via");

  std::vector<std::vector<std::string>> refused;
  for (const char* bad :
       {"0", "-1", "-2", "-2147483648", "2147483648", "4294967297", "-4294967295", "4294967296",
        "4294967295", "-9223372036854775808", "9223372036854775807"}) {
    refused.push_back({"terminate", bad});
    refused.push_back({"signal", "-STOP", bad});
  }
  for (const std::string& path :
       {std::string("relative/Test.app"), std::string("/usr"), (app / ".." / "Test.app").string(),
        (dir.path() / "via" / "Test.app").string()}) {
    refused.push_back({"uninstall", path});
  }
  for (const auto& args : refused) {
    const RunResult r = helperctl(args);
    EXPECT_EQ(r.status, 1) << testing::PrintToString(args) << r.err;
    // A refused removal names the path in its message.
    EXPECT_EQ(r.out.substr(0, 3), "NO\n") << testing::PrintToString(args);
    EXPECT_EQ(r.out.find(args.back(), 3) != std::string::npos, args[0] == "uninstall") << r.out;
  }
  const std::string socket = "/run/com.korvane.helper.socket",
                    lock = "/run/com.korvane.helper.lock";
  const std::string exe = fs::canonical(daemonPath()), is = "it is the helper's own file \"";
  const std::pair<std::string, std::string> own[] = {
      {socket, is + socket},
      {"//run//com.korvane.helper.lock", is + lock},
      {exe, is + exe},
      {fs::path(exe).parent_path(), "it holds the helper's own file \"" + exe}};
  for (const auto& [path, reason] : own) {
    EXPECT_EQ(helperctl({"uninstall", path}).out,
              "NO\nRefusing to remove \"" + path + "\": " + reason + "\"\n");
  }
  for (const auto& file : {socket, lock, exe}) EXPECT_TRUE(fs::exists(file)) << file;
  EXPECT_TRUE(reachesState(canary.pid(), 'S'));  // a canary still asleep, not stopped or gone
  EXPECT_TRUE(fs::exists(app / "Contents" / "MacOS"));
  EXPECT_TRUE(fs::exists("/usr/bin"));

  EXPECT_EQ(helperctl({"terminate", pid}).out, "YES\n");
  EXPECT_EQ(canary.reap(), 128 + SIGKILL);
  const RunResult gone = helperctl({"--json", "terminate", pid});
  EXPECT_EQ(gone.status, 1);
  EXPECT_EQ(gone.out, "false\n");
  EXPECT_EQ(gone.err, "korvane-helperctl: no such process: " + pid + "\n");

  const RunResult r = helperctl({"--json", "uninstall", app.string()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "{\"success\": true, \"message\": null}\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(app)));

  // A member reaches the daemon through no id of its own: kill(2) of any of its
  // thread ids would stop or end the whole daemon.
  std::vector<std::string> ids = {"1"};  // the daemon, init of its pid namespace
  for (const auto& task : fs::directory_iterator(procPath(daemon.pid()) + "/task")) {
    ids.push_back(std::to_string(innermostPid(std::stoi(task.path().filename()))));
  }
  ASSERT_GT(ids.size(), 2u) << "the daemon runs more than its main thread";
  for (const std::string& id : ids) EXPECT_EQ(memberStopsAndTerminates(id), "NO\nNO\n") << id;
  EXPECT_TRUE(reachesState(daemon.pid(), 'S'));
  const RunResult all = helperctlAsMember({"terminate", "0"});
  EXPECT_EQ(all.out, "NO\n") << "still serving";
  EXPECT_NE(all.err.find("PID must be above 0"), std::string::npos) << all.err;

  // `top` driven in tmux: what it sends reaches the process asked about, never
  // one that took its row, and the terminal is as it was once it quits.
  fs::copy_file("/bin/sleep", dir.path() / "zz-sleeper");
  fs::copy_file("/bin/sleep", dir.path() / "zz-target");
  StartedProcess sleeper({(dir.path() / "zz-sleeper").string(), "120"});
  StartedProcess target({(dir.path() / "zz-target").string(), "120"});
  const std::string sleeperPid = std::to_string(innermostPid(sleeper.pid()));
  const std::string targetPid = std::to_string(innermostPid(target.pid()));
  auto tmux = [socket = (dir.path() / "tmux").string()](std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/tmux", "-S", socket});
    return run(args);
  };
  auto screen = [&] { return tmux({"capture-pane", "-p"}).out; };
  auto shows = [&](const std::string& text) {
    return eventually([&] { return screen().find(text) != std::string::npos; });
  };
  const std::string shell = " top --sort pid --interval 0.3; echo exited $?; stty -a; sleep 120";
  ASSERT_EQ(tmux({"new-session", "-d", "-x", "80", "-y", "24", helperctlPath() + shell}).status, 0);
  ASSERT_TRUE(shows(" zz-target")) << screen();
  tmux({"send-keys", "n", "End", "t"});  // by name "zz-target" is the last row; asks first
  ASSERT_TRUE(shows("Send SIGTERM to " + targetPid + " (zz-target)? y/n")) << screen();
  ::kill(target.pid(), SIGKILL);  // it ends before the answer: zz-sleeper takes its row
  target.reap();
  ASSERT_TRUE(shows(targetPid + " (zz-target) has ended: SIGTERM not sent")) << screen();
  tmux({"send-keys", "y", "End", "s"});
  ASSERT_TRUE(shows("Send SIGSTOP to " + sleeperPid + " (zz-sleeper)? y/n")) << screen();
  EXPECT_TRUE(reachesState(sleeper.pid(), 'S'));  // the y above sent nothing
  tmux({"send-keys", "y"});
  EXPECT_TRUE(reachesState(sleeper.pid(), 'T'));
  tmux({"send-keys", "q"});
  ASSERT_TRUE(shows("exited 0")) << screen();
  const std::string after = screen();  // the view's screen is gone, the modes are back
  EXPECT_EQ(after.find("zz-sleeper"), std::string::npos) << after;
  for (const char* mode : {" icanon ", " echo "})
    EXPECT_NE(after.find(mode), std::string::npos) << after;
  EXPECT_EQ(tmux({"display", "-p", "#{alternate_on} #{cursor_flag}"}).out, "0 1\n");
  // Batch mode: N frames of the filtered list, one blank line between them.
  const RunResult batch =
      helperctl({"top", "-b", "-n", "2", "--interval", "0.1", "--name", "ZZ-SL"});
  EXPECT_EQ(batch.status, 0) << batch.err;
  const std::string frame = "1 processes  CPU";
  EXPECT_EQ(batch.out.find(frame), 0u) << batch.out;
  EXPECT_NE(batch.out.find("zz-sleeper\n\n" + frame), std::string::npos) << batch.out;
  EXPECT_TRUE(batch.out.ends_with(" zz-sleeper\n")) << batch.out;
}

}  // namespace
}  // namespace e2e
