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

  std::int32_t runCommand(const std::string& launchPath, const Args& arguments) override {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      paths_.push_back(launchPath);
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
  std::vector<std::string> paths() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return paths_;
  }
  int maxRunning() const { return maxRunning_; }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> paths_;
  std::vector<Args> calls_;
  std::atomic<int> running_{0};
  std::atomic<int> maxRunning_{0};
};

class FirewallTest : public ::testing::Test {
 protected:
  FirewallTest() {
    paths_.anchorFolder = root_ / "pf.anchors";
    paths_.pfConf = root_ / "pf.conf";
    paths_.pfctl = root_ / "pfctl";
    std::filesystem::create_directory(paths_.anchorFolder);
  }

  common::FlagMessage enable(const Values& inTcp = {}, const Values& outTcp = {},
                             const Values& inUdp = {}, const Values& outUdp = {}) {
    return Firewall(runner_, paths_).apply(true, inTcp, outTcp, inUdp, outUdp);
  }
  common::FlagMessage disable(const Values& any = {}) {
    return Firewall(runner_, paths_).apply(false, any, any, any, any);
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

TEST(FirewallPaths, DefaultsAreTheSystemsOwn) {
  FirewallPaths paths;
  EXPECT_EQ(paths.anchorFile(), "/etc/pf.anchors/com.korvane.helper.firewall");
  EXPECT_EQ(paths.pfConf, "/etc/pf.conf");
  EXPECT_EQ(paths.pfctl, "/sbin/pfctl");
}

TEST_F(FirewallTest, FirstEnableWritesRulesHooksTheAnchorOnceAndRunsPfctlInOrder) {
  writeFile(paths_.pfConf, "set skip on lo0\n");
  EXPECT_EQ(enable({22, 80}, {}, {}, {53}), (common::FlagMessage{true, std::nullopt}));
  EXPECT_EQ(readFile(paths_.anchorFile()),
            "block drop in inet proto tcp from any to any port { 22, 80 }\n"
            "block drop in inet6 proto tcp from any to any port { 22, 80 }\n"
            "block return out inet proto udp from any to any port { 53 }\n"
            "block return out inet6 proto udp from any to any port { 53 }\n");
  EXPECT_EQ(readFile(paths_.pfConf),
            "set skip on lo0\n\n# Korvane Firewall Anchor\n"
            "anchor \"com.korvane.helper.firewall\"\n"
            "load anchor \"com.korvane.helper.firewall\" from \"" +
                paths_.anchorFile() + "\"\n");
  EXPECT_EQ(runner_.calls(), (std::vector<Args>{reloadRun(), loadRun(), enableRun()}));
  EXPECT_EQ(runner_.paths(), std::vector<std::string>(3, paths_.pfctl));

  // The second enable finds the anchor: no second block and no reload.
  EXPECT_EQ(enable(), (common::FlagMessage{true, std::nullopt}));
  EXPECT_EQ(readFile(paths_.anchorFile()), "") << "empty lists give an empty anchor file";
  EXPECT_EQ(readFile(paths_.pfConf), "set skip on lo0\n" + block());
  EXPECT_EQ(runner_.calls(),
            (std::vector<Args>{reloadRun(), loadRun(), enableRun(), loadRun(), enableRun()}));
}

TEST_F(FirewallTest, HooksTheAnchorByPlainSubstringOnly) {
  struct Case {
    const char* pfConf;
    bool hooked;
  };
  const Case cases[] = {
      {"# com.korvane.helper.firewall is mentioned in a comment only\n", false},
      {"pass all", true},  // no final line feed: the block's first line feed ends it
      {"", true},
      {"anchor \"COM.KORVANE.HELPER.FIREWALL\"\n", true},
  };
  for (const Case& c : cases) {
    RecordingRunner runner;
    writeFile(paths_.pfConf, c.pfConf);
    EXPECT_EQ(Firewall(runner, paths_).apply(true, {}, {}, {}, {}).success, true);
    EXPECT_EQ(readFile(paths_.pfConf), c.pfConf + (c.hooked ? block() : "")) << c.pfConf;
    const std::vector<Args> expected = c.hooked
                                           ? std::vector<Args>{reloadRun(), loadRun(), enableRun()}
                                           : std::vector<Args>{loadRun(), enableRun()};
    EXPECT_EQ(runner.calls(), expected) << c.pfConf;
  }
}

FirewallPaths pathsUnder(const TestFolder& root) {
  FirewallPaths paths;
  paths.anchorFolder = root / "pf.anchors";
  paths.pfConf = root / "pf.conf";
  paths.pfctl = root / "pfctl";
  std::filesystem::create_directory(paths.anchorFolder);
  return paths;
}

TEST(Firewall, FileFailuresEndTheRequestBeforeAnyPfctlRun) {
  enum Fault { kNoPfConf, kLatin1PfConf, kNoAnchorFolder };
  for (Fault fault : {kNoPfConf, kLatin1PfConf, kNoAnchorFolder}) {
    TestFolder root;
    const FirewallPaths paths = pathsUnder(root);
    if (fault == kLatin1PfConf) writeFile(paths.pfConf, "pass all\n# caf\xE9\n");
    if (fault == kNoAnchorFolder) {
      std::filesystem::remove(paths.anchorFolder);
      writeFile(paths.pfConf, "pass all\n");
    }
    const std::string pfConfBefore = readFile(paths.pfConf);
    const std::string expected =
        fault == kNoPfConf
            ? "Could not read \"" + paths.pfConf + "\" (open): No such file or directory."
        : fault == kLatin1PfConf
            ? "Could not read \"" + paths.pfConf + "\": the file is not valid UTF-8 text."
            : "Could not write \"" + paths.anchorFile() +
                  "\" (mkstemp): No such file or directory.";
    RecordingRunner runner;

    EXPECT_EQ(Firewall(runner, paths).apply(true, {22}, {}, {}, {}),
              (common::FlagMessage{false, "File system error: " + expected}));
    EXPECT_EQ(runner.calls(), std::vector<Args>{}) << expected;
    EXPECT_EQ(std::filesystem::exists(paths.anchorFile()), fault != kNoAnchorFolder) << expected;
    EXPECT_EQ(std::filesystem::exists(paths.pfConf), fault != kNoPfConf) << expected;
    EXPECT_EQ(readFile(paths.pfConf), pfConfBefore) << expected;
  }
}

TEST(Firewall, PfConfWriteFailureLeavesItAsItWasAndRunsNoPfctl) {
  TestFolder root;
  FirewallPaths paths = pathsUnder(root);
  // A name of 250 bytes can be read, but the temporary file beside it (".NAME.XXXXXX")
  // exceeds the 255-byte name limit, so writing it back fails, even for root.
  paths.pfConf = root / std::string(250, 'p');
  writeFile(paths.pfConf, "pass all\n");
  RecordingRunner runner;
  EXPECT_EQ(Firewall(runner, paths).apply(true, {22}, {}, {}, {}),
            (common::FlagMessage{false, "File system error: Could not write \"" + paths.pfConf +
                                            "\" (mkstemp): File name too long."}));
  EXPECT_EQ(readFile(paths.pfConf), "pass all\n");
  EXPECT_EQ(entriesOf(root.path()), (std::set<std::string>{"pf.anchors", std::string(250, 'p')}));
  EXPECT_EQ(runner.calls(), std::vector<Args>{});
}

TEST_F(FirewallTest, PfctlStatusesDecideTheReply) {
  writeFile(paths_.pfConf, "pass all\n");
  struct Case {
    const char* name;
    bool enable;
    std::function<std::int32_t(const Args&)> status;
    common::FlagMessage reply;
  };
  auto loadGives = [this](std::int32_t s) {
    return [this, s](const Args& args) { return args == loadRun() ? s : 0; };
  };
  const Case cases[] = {
      {"load fails", true, loadGives(1), {false, "pfctl failed to load anchor with exit code 1."}},
      {"pfctl cannot start",
       true,
       [](const Args&) { return -1; },
       {false, "pfctl failed to load anchor with exit code -1."}},
      {"load killed by a signal",
       true,
       loadGives(9),
       {false, "pfctl failed to load anchor with exit code 9."}},
      {"reload and -E failures are not looked at",
       true,
       [this](const Args& args) { return args == loadRun() ? 0 : 1; },
       {true, std::nullopt}},
      {"flush succeeds",
       false,
       [](const Args&) { return 0; },
       {true, "Korvane Firewall Rules Flushed"}},
      {"flush fails",
       false,
       [](const Args&) { return 1; },
       {false, "Failed to flush anchor rules."}},
      {"pfctl cannot start for a flush",
       false,
       [](const Args&) { return -1; },
       {false, "Failed to flush anchor rules."}},
  };
  for (const Case& c : cases) {
    RecordingRunner runner;
    runner.status = c.status;
    EXPECT_EQ(Firewall(runner, paths_).apply(c.enable, {22}, {}, {}, {}), c.reply) << c.name;
    const std::vector<Args> calls = runner.calls();
    if (c.enable) {
      ASSERT_GE(calls.size(), 2u) << c.name;
      EXPECT_EQ(calls.back(), enableRun()) << c.name << ": -E runs whatever the load gave";
    } else {
      EXPECT_EQ(calls, std::vector<Args>{flushRun()}) << c.name;
    }
  }
}

TEST_F(FirewallTest, DisableNeverTouchesFilesNorLooksAtTheLists) {
  writeFile(paths_.pfConf, "pass all\n");
  const auto pfConfTime = std::filesystem::last_write_time(paths_.pfConf);
  EXPECT_EQ(disable({common::Value("not a port"), common::Value()}),
            (common::FlagMessage{true, "Korvane Firewall Rules Flushed"}));
  EXPECT_EQ(runner_.calls(), std::vector<Args>{flushRun()});
  EXPECT_EQ(entriesOf(paths_.anchorFolder), std::set<std::string>{});
  EXPECT_EQ(readFile(paths_.pfConf), "pass all\n");
  EXPECT_EQ(std::filesystem::last_write_time(paths_.pfConf), pfConfTime);
}

TEST_F(FirewallTest, NonIntegerPortRefusesTheEnableBeforeAnyFileIsTouched) {
  writeFile(paths_.pfConf, "pass all\n");
  struct Case {
    Values inTcp, outTcp, inUdp, outUdp;
    std::string message;
  };
  const Case cases[] = {
      {{common::Value(80.0)},
       {},
       {},
       {},
       "Invalid port in inboundTCP: element at index 0 is a floating-point number, not an "
       "integer."},
      {{22},
       {80, "443"},
       {},
       {},
       "Invalid port in outboundTCP: element at index 1 is a string, not an integer."},
      {{},
       {},
       {53, common::Value()},
       {},
       "Invalid port in inboundUDP: element at index 1 is nil, not an integer."},
      {{},
       {},
       {},
       {common::Value(false)},
       "Invalid port in outboundUDP: element at index 0 is a boolean, not an integer."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(enable(c.inTcp, c.outTcp, c.inUdp, c.outUdp),
              (common::FlagMessage{false, c.message}));
  }
  EXPECT_EQ(runner_.calls(), std::vector<Args>{});
  EXPECT_EQ(entriesOf(paths_.anchorFolder), std::set<std::string>{});
  EXPECT_EQ(readFile(paths_.pfConf), "pass all\n");
}

TEST_F(FirewallTest, ConcurrentRequestsAreSerialisedAcrossObjects) {
  writeFile(paths_.pfConf, "pass all\n");
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
