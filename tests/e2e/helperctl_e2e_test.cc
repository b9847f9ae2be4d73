// `korvane-helperctl top` driven in tmux against the real daemon, init of a private pid
// namespace, so that a signal sent from the view can reach only this test's own processes.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "tests/e2e/sandbox.h"

namespace e2e {
namespace {

// Polls `condition` until it holds; false after about 30 s.
bool eventually(const std::function<bool()>& condition) {
  for (int i = 0; i < 600 && !condition(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

TEST(TopE2E, ShowsSortsAndSignalsAProcessAndRestoresTheTerminal) {
  std::string why;
  ASSERT_TRUE(enterPrivateNamespaces(kPid, &why)) << why << " (end-to-end tests need root)";
  Daemon daemon(true);  // first child: init of the pid namespace; the rest die with it
  TempDir dir;
  std::filesystem::copy_file("/bin/sleep", dir.path() / "zz-sleeper");
  StartedProcess sleeper({(dir.path() / "zz-sleeper").string(), "120"});
  const std::string pid = std::to_string(innermostPid(sleeper.pid()));
  auto tmux = [socket = (dir.path() / "tmux").string()](std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/tmux", "-S", socket});
    return run(args);
  };
  auto screen = [&] { return tmux({"capture-pane", "-p"}).out; };
  auto line = [&](const std::string& text, std::string s = "") {  // holding text, or -1
    s = s.empty() ? screen() : s;
    const std::size_t at = s.find(text);
    return at == std::string::npos ? -1 : static_cast<int>(std::count(&s[0], &s[at], '\n'));
  };
  const std::string shell = " top --sort pid --interval 0.3; echo exited $?; stty -a; sleep 120";
  ASSERT_EQ(tmux({"new-session", "-d", "-x", "80", "-y", "24", helperctlPath() + shell}).status, 0);
  // Sorted by name ("zz-") it moves below where pid order puts it.
  int byPid = -1;
  ASSERT_TRUE(eventually([&] { return (byPid = line(" zz-sleeper")) > 1; })) << screen();
  tmux({"send-keys", "n"});
  ASSERT_TRUE(eventually([&] { return line(" zz-sleeper") > byPid; })) << screen();
  tmux({"send-keys", "End", "s"});  // the last row; asks first
  const std::string ask = "Send SIGSTOP to " + pid + " (zz-sleeper)? y/n";
  ASSERT_TRUE(eventually([&] { return line(ask) == 23; })) << screen();
  tmux({"send-keys", "y"});
  EXPECT_TRUE(eventually([&] { return line("SIGSTOP sent to " + pid) == 23; })) << screen();
  const std::string stat = "/proc/" + std::to_string(sleeper.pid()) + "/stat";
  EXPECT_TRUE(eventually([&] { return readFile(stat).find(") T ") != std::string::npos; }));
  tmux({"send-keys", "q"});
  ASSERT_TRUE(eventually([&] { return line("exited 0") >= 0; })) << screen();
  const std::string after = screen();  // the view's screen is gone, the modes are back
  EXPECT_TRUE(line("zz-sleeper", after) < 0 && line(" icanon ", after) > 0 &&
              line(" echo ", after) > 0)
      << after;
  EXPECT_EQ(tmux({"display", "-p", "#{alternate_on} #{cursor_flag}"}).out, "0 1\n");
}

}  // namespace
}  // namespace e2e
