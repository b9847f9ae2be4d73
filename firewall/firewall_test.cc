#include "firewall/firewall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "firewall/test_folder.h"

namespace firewall {
namespace {

using Args = std::vector<std::string>;
using Values = std::vector<common::Value>;

// Records every tool run; answers with `status(arguments)` (0 when unset).
class RecordingRunner : public control::CommandRunner {
 public:
  std::function<std::int32_t(const Args&)> status;
  std::string expectedPath;

  std::int32_t runCommand(const std::string& launchPath, const Args& arguments) override {
    EXPECT_EQ(launchPath, expectedPath);
    {
      std::lock_guard<std::mutex> hold(mutex_);
      calls_.push_back(arguments);
    }
    int running = ++running_;
    int seen = maxRunning_.load();
    while (running > seen && !maxRunning_.compare_exchange_weak(seen, running)) {
    }
    // Give another request's thread the chance to run a tool at the same time.
    std::this_thread::yield();
    std::int32_t result = status ? status(arguments) : 0;
    --running_;
    return result;
  }

  std::vector<Args> calls() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return calls_;
  }
  int maxRunning() const { return maxRunning_; }

 private:
  mutable std::mutex mutex_;
  std::vector<Args> calls_;
  std::atomic<int> running_{0};
  std::atomic<int> maxRunning_{0};
};

class FirewallTest : public ::testing::Test {
 protected:
  FirewallTest() {
    paths_.anchorFolder = root_ / "pf.anchors";
    paths_.pfConf = root_ / "pf.conf";
    paths_.pfctl = runner_.expectedPath = root_ / "pfctl";
    std::filesystem::create_directory(paths_.anchorFolder);
    writeFile(paths_.pfConf, "pass all\n");
  }

  common::FlagMessage enable(const Values& inTcp = {}, const Values& outTcp = {},
                             const Values& inUdp = {}, const Values& outUdp = {}) {
    return Firewall(runner_, paths_).apply(true, inTcp, outTcp, inUdp, outUdp);
  }

  std::string block() const { return anchorBlock(paths_.anchorFile()); }
  Args reloadRun() const { return {"-f", paths_.pfConf}; }
  Args loadRun() const { return {"-a", "com.korvane.helper.firewall", "-f", paths_.anchorFile()}; }
  Args flushRun() const { return {"-a", "com.korvane.helper.firewall", "-F", "all"}; }
  Args enableRun() const { return {"-E"}; }

  TestFolder root_;
  FirewallPaths paths_;
  RecordingRunner runner_;
};

TEST_F(FirewallTest, FirstEnableWritesRulesHooksTheAnchorOnceAndRunsPfctlInOrder) {
  EXPECT_EQ(enable({22, 80}, {}, {}, {53}), (common::FlagMessage{true, std::nullopt}));
  EXPECT_EQ(readFile(paths_.anchorFile()),
            "block drop in inet proto tcp from any to any port { 22, 80 }\n"
            "block drop in inet6 proto tcp from any to any port { 22, 80 }\n"
            "block return out inet proto udp from any to any port { 53 }\n"
            "block return out inet6 proto udp from any to any port { 53 }\n");
  EXPECT_EQ(readFile(paths_.pfConf), "pass all\n" + block());
  EXPECT_EQ(runner_.calls(), (std::vector<Args>{reloadRun(), loadRun(), enableRun()}));

  // The second enable finds the anchor: no second block and no reload.
  EXPECT_EQ(enable(), (common::FlagMessage{true, std::nullopt}));
  EXPECT_EQ(readFile(paths_.anchorFile()), "") << "empty lists give an empty anchor file";
  EXPECT_EQ(readFile(paths_.pfConf), "pass all\n" + block());
  EXPECT_EQ(runner_.calls(),
            (std::vector<Args>{reloadRun(), loadRun(), enableRun(), loadRun(), enableRun()}));
}

TEST_F(FirewallTest, FileFailuresEndTheRequestBeforeAnyPfctlRun) {
  const std::string longName = root_ / std::string(250, 'p');
  const struct {
    const char* name;
    std::function<void(FirewallPaths&)> stage;
    std::string pfConf;  // as given, and as it must stay
    std::string error;
  } cases[] = {
      {"no pf.conf", [](FirewallPaths&) {}, "",
       "Could not read \"" + paths_.pfConf + "\" (open): No such file or directory."},
      {"pf.conf not UTF-8", [](FirewallPaths&) {}, "pass all\n# caf\xE9\n",
       "Could not read \"" + paths_.pfConf + "\": the file is not valid UTF-8 text."},
      {"no anchor folder", [](FirewallPaths& p) { std::filesystem::remove(p.anchorFolder); },
       "pass all\n",
       "Could not write \"" + paths_.anchorFile() + "\" (mkstemp): No such file or directory."},
      // pf.conf can be read, but the temporary name beside it (".NAME.XXXXXX")
      // exceeds the 255-byte name limit, so writing it back fails, even for root.
      {"pf.conf cannot be written", [&](FirewallPaths& p) { p.pfConf = longName; }, "pass all\n",
       "Could not write \"" + longName + "\" (mkstemp): File name too long."},
  };
  for (const auto& c : cases) {
    FirewallPaths paths = paths_;
    std::filesystem::remove(paths.anchorFile());
    c.stage(paths);
    if (c.pfConf.empty()) {
      std::filesystem::remove(paths.pfConf);
    } else {
      writeFile(paths.pfConf, c.pfConf);
    }
    RecordingRunner runner;
    EXPECT_EQ(Firewall(runner, paths).apply(true, {22}, {}, {}, {}),
              (common::FlagMessage{false, "File system error: " + c.error}))
        << c.name;
    EXPECT_EQ(runner.calls(), std::vector<Args>{}) << c.name;
    EXPECT_EQ(readFile(paths.pfConf), c.pfConf) << c.name;
    std::filesystem::create_directory(paths_.anchorFolder);
  }
  EXPECT_EQ(entriesOf(root_.path()),
            (std::set<std::string>{"pf.anchors", "pf.conf", std::string(250, 'p')}))
      << "no temporary file is left behind";
}

TEST_F(FirewallTest, PfctlStatusesDecideTheReply) {
  auto failing = [](Args run, std::int32_t status) {
    return [=](const Args& args) { return args == run ? status : 0; };
  };
  struct Case {
    const char* name;
    bool enable;
    std::function<std::int32_t(const Args&)> status;
    common::FlagMessage reply;
  };
  const Case cases[] = {
      {"flush succeeds", false, failing({}, 0), {true, "Korvane Firewall Rules Flushed"}},
      {"flush fails", false, failing(flushRun(), 1), {false, "Failed to flush anchor rules."}},
      {"load fails",
       true,
       failing(loadRun(), 1),
       {false, "pfctl failed to load anchor with exit code 1."}},
      {"pfctl cannot start",
       true,
       failing(loadRun(), -1),
       {false, "pfctl failed to load anchor with exit code -1."}},
      {"reload and -E failures are not looked at",
       true,
       [this](const Args& a) { return a == loadRun() ? 0 : 1; },
       {true, std::nullopt}},
  };
  for (const Case& c : cases) {
    RecordingRunner runner;
    runner.status = c.status;
    runner.expectedPath = paths_.pfctl;
    // A disable looks at no list, however malformed, and touches no file.
    const Values ports = c.enable ? Values{22} : Values{common::Value("not a port")};
    EXPECT_EQ(Firewall(runner, paths_).apply(c.enable, ports, ports, ports, ports), c.reply)
        << c.name;
    const std::vector<Args> calls = runner.calls();
    if (c.enable) {
      ASSERT_GE(calls.size(), 2u) << c.name;
      EXPECT_EQ(calls.back(), enableRun()) << c.name << ": -E runs whatever the load gave";
    } else {
      EXPECT_EQ(calls, std::vector<Args>{flushRun()}) << c.name;
      EXPECT_EQ(entriesOf(paths_.anchorFolder), std::set<std::string>{});
      EXPECT_EQ(readFile(paths_.pfConf), "pass all\n");
    }
  }
}

TEST_F(FirewallTest, NonIntegerPortRefusesTheEnableBeforeAnyFileIsTouched) {
  const char* names[] = {"inboundTCP", "outboundTCP", "inboundUDP", "outboundUDP"};
  for (int i = 0; i < 4; ++i) {
    std::vector<Values> lists(4, Values{22});
    lists[i] = {80, "443"};
    EXPECT_EQ(
        enable(lists[0], lists[1], lists[2], lists[3]),
        (common::FlagMessage{false, std::string("Invalid port in ") + names[i] +
                                        ": element at index 1 is a string, not an integer."}));
  }
  EXPECT_EQ(runner_.calls(), std::vector<Args>{});
  EXPECT_EQ(entriesOf(paths_.anchorFolder), std::set<std::string>{});
  EXPECT_EQ(readFile(paths_.pfConf), "pass all\n");
}

TEST_F(FirewallTest, ConcurrentRequestsAreSerialisedAcrossObjects) {
  constexpr int kThreads = 16;
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      // One object per thread, as each connection has its own.
      Firewall firewall(runner_, paths_);
      start.arrive_and_wait();
      common::FlagMessage reply = firewall.apply(i % 4 != 3, {i}, {}, {}, {});
      if (!reply.success) ++failures;
    });
  }
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(failures, 0);
  EXPECT_EQ(readFile(paths_.pfConf), "pass all\n" + block());
  EXPECT_EQ(runner_.maxRunning(), 1);
  const std::vector<Args> calls = runner_.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), reloadRun()), 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), flushRun()), kThreads / 4);
  // Every anchor load is directly followed by its own request's -E.
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i] == loadRun()) {
      ASSERT_LT(i + 1, calls.size());
      EXPECT_EQ(calls[i + 1], enableRun()) << "run " << i;
    }
  }
  EXPECT_EQ(entriesOf(paths_.anchorFolder), std::set<std::string>{"com.korvane.helper.firewall"});
}

}  // namespace
}  // namespace firewall
