#include "firewall/firewall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <latch>
#include <mutex>
#include <set>
#include <thread>

#include "testsupport/testsupport.h"

namespace firewall {
namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::writeFile;
using Args = std::vector<std::string>;
using Values = std::vector<common::Value>;
using End = control::ToolStatus::End;
constexpr auto exited = control::ToolStatus::exited;

// Yields after recording, so another request's thread could run a tool meanwhile.
struct RecordingRunner : control::CommandRunner {
  control::ToolStatus runCommand(const std::string&, const Args& arguments) override {
    std::unique_lock<std::mutex> hold(mutex);
    calls.push_back(arguments);
    hold.unlock();
    std::this_thread::yield();
    return status ? status(arguments) : control::ToolStatus::exited(0);
  }
  std::function<control::ToolStatus(const Args&)> status;
  std::mutex mutex;
  std::vector<Args> calls;
};

std::set<std::string> entriesOf(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

class FirewallTest : public ::testing::Test {
 protected:
  FirewallTest() {
    fs::create_directory(paths_.anchorFolder);
    writeFile(paths_.pfConf, "pass all\n", 0640);
  }
  korvane::FlagMessage apply(bool enable, const Values& inTcp, const Values& outUdp = {}) {
    return PfFirewall(runner_, paths_).apply(enable, inTcp, {}, {}, outUdp);
  }
  std::string hooked() const {
    return "pass all\n\n# Korvane Firewall Anchor\nanchor \"com.korvane.helper.firewall\"\n"
           "load anchor \"com.korvane.helper.firewall\" from \"" +
           paths_.anchorFile() + "\"\n";
  }

  testsupport::TempDir root_;
  FirewallPaths paths_{root_.file("pf.anchors"), root_.file("pf.conf"), root_.file("pfctl")};
  RecordingRunner runner_;
  const Args reloadRun_ = {"-f", paths_.pfConf};
  const Args loadRun_ = {"-a", "com.korvane.helper.firewall", "-f", paths_.anchorFile()};
  const Args flushRun_ = {"-a", "com.korvane.helper.firewall", "-F", "all"};
  const Args enableRun_ = {"-E"};
};

TEST_F(FirewallTest, EnableHooksTheAnchorOnceEvenConcurrentlyAndTheAnchorLoadDecidesTheReply) {
  using Reply = korvane::FlagMessage;
  // A disable looks at no list, however malformed, and touches no file.
  runner_.status = [&](const Args& a) { return exited(a == flushRun_ ? 1 : 0); };
  EXPECT_EQ(apply(false, {"x"}, {1.5}), (Reply{false, "Failed to flush anchor rules."}));
  EXPECT_EQ(runner_.calls, std::vector<Args>{flushRun_});  // (a flushed reply: FirewallE2E)
  EXPECT_EQ(entriesOf(paths_.anchorFolder), std::set<std::string>{});
  EXPECT_EQ(readFile(paths_.pfConf), "pass all\n");

  // Concurrent requests, one object each: a single reload; each load directly followed by
  // its -E.
  runner_.calls.clear();
  runner_.status = [&](const Args& a) { return exited(a == reloadRun_ || a == enableRun_); };
  constexpr int kThreads = 16;
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      PfFirewall firewall(runner_, paths_);
      start.arrive_and_wait();
      if (!firewall.apply(i % 4 != 3, {i}, {}, {}, {}).success) ++failures;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(readFile(paths_.pfConf), hooked());
  EXPECT_EQ(fs::status(paths_.pfConf).permissions(), fs::perms(0640)) << "a rewritten file's mode";
  const std::vector<Args> calls = runner_.calls;
  EXPECT_EQ(std::count(calls.begin(), calls.end(), reloadRun_), 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), flushRun_), kThreads / 4);
  for (std::size_t i = 0; i < calls.size(); ++i) {
    EXPECT_TRUE(calls[i] != loadRun_ || calls.at(i + 1) == enableRun_) << "run " << i;
  }

  // Ports as they came: repeats in place, both ends of the range as written
  // (that pf reads each line: FirewallE2E).
  EXPECT_EQ(apply(true, {80, 22, 80}, {65535, 0}), (Reply{true, std::nullopt}));
  EXPECT_EQ(readFile(paths_.anchorFile()),
            "block drop in inet proto tcp from any to any port { 80, 22, 80 }\n"
            "block drop in inet6 proto tcp from any to any port { 80, 22, 80 }\n"
            "block return out inet proto udp from any to any port { 65535, 0 }\n"
            "block return out inet6 proto udp from any to any port { 65535, 0 }\n");
  EXPECT_EQ(fs::status(paths_.anchorFile()).permissions(), fs::perms(0644)) << "not mkstemp's 0600";
  // What `firewall status` reads back: the lists in argument order, or
  // nothing for a file it did not write.
  const auto lists = parseFirewallRules(readFile(paths_.anchorFile()));
  ASSERT_TRUE(lists);
  EXPECT_EQ((*lists)[0].decimals, (std::vector<std::string>{"80", "22", "80"}));
  EXPECT_EQ((*lists)[3].decimals, (std::vector<std::string>{"65535", "0"}));
  EXPECT_TRUE((*lists)[1].decimals.empty());
  EXPECT_FALSE(parseFirewallRules("block drop in inet proto tcp from any to any port { 80 }\n"))
      << "without its IPv6 twin";
  EXPECT_FALSE(parseFirewallRules("pass all\n"));

  // -1: pfctl could not be started; -E runs whatever the load gave.
  runner_.calls.clear();
  runner_.status = [&](const Args& a) { return a == loadRun_ ? control::ToolStatus{} : exited(0); };
  EXPECT_EQ(apply(true, {}), (Reply{false, "pfctl failed to load anchor with exit code -1."}));
  EXPECT_EQ(readFile(paths_.anchorFile()), "") << "empty lists give an empty anchor file";
  EXPECT_EQ(readFile(paths_.pfConf), hooked());
  EXPECT_EQ(runner_.calls, (std::vector<Args>{loadRun_, enableRun_}));
  EXPECT_EQ(entriesOf(root_.path()), (std::set<std::string>{"pf.anchors", "pf.conf"}));
  EXPECT_EQ(entriesOf(paths_.anchorFolder), std::set<std::string>{"com.korvane.helper.firewall"});
}

// What a daemon killed between making a temporary file and renaming it left
// goes at the next write of that file; nothing else does.
TEST_F(FirewallTest, AnEnableRemovesLeftoversOfItsOwnFilesAndNothingElse) {
  const fs::path anchors = paths_.anchorFolder;
  const std::string prefix = ".com.korvane.helper.firewall.";
  const struct {
    const char* name;
    fs::path entry;
    bool removed;
  } cases[] = {
      {"the anchor's leftover", anchors / (prefix + "Ab3XyZ"), true},
      {"pf.conf's leftover", root_.path() / ".pf.conf.Qw12Er", true},
      {"five characters", anchors / (prefix + "Ab3Xy"), false},
      {"seven characters", anchors / (prefix + "Ab3XyZ9"), false},
      {"not mkstemp's characters", anchors / (prefix + "Ab-XyZ"), false},
      {"another user's file", anchors / (prefix + "nobody"), false},
      {"a link", anchors / (prefix + "linkto"), false},
      {"a folder", anchors / (prefix + "folder"), false},
      {"another file's leftover", anchors / ".other.Ab3XyZ", false},
  };
  for (const auto& c : cases) writeFile(c.entry, "left");
  ASSERT_EQ(::chown((anchors / (prefix + "nobody")).c_str(), 65534, 65534), 0);
  fs::remove(anchors / (prefix + "linkto"));
  fs::create_symlink(paths_.pfConf, anchors / (prefix + "linkto"));
  fs::remove(anchors / (prefix + "folder"));
  fs::create_directory(anchors / (prefix + "folder"));

  ASSERT_TRUE(apply(true, {22}).success);
  for (const auto& c : cases) {
    EXPECT_EQ(!fs::exists(fs::symlink_status(c.entry)), c.removed) << c.name;
  }
  EXPECT_EQ(readFile(paths_.pfConf), hooked()) << "what the link points to";
}

TEST_F(FirewallTest, AKilledOrHungPfctlAndABusyLockSayWhatHappened) {
  const std::string hung = " did not finish within 20 s; it was killed.";
  const struct {
    const char* name;
    bool enable;
    Args ends;  // the run that ends as `how`; the others exit 0
    control::ToolStatus how;
    std::string reply;
    std::vector<Args> runs;
  } cases[] = {
      // clang-format off
      {"flush killed", false, flushRun_, {End::kSignalled, 9},
       "Failed to flush anchor rules: pfctl was killed by signal 9.", {flushRun_}},
      {"flush hung", false, flushRun_, {End::kTimedOut, -1},
       "Failed to flush anchor rules: pfctl -a com.korvane.helper.firewall -F all" + hung,
       {flushRun_}},
      {"load killed", true, loadRun_, {End::kSignalled, 15},
       "pfctl failed to load anchor: it was killed by signal 15.", {reloadRun_, loadRun_, enableRun_}},
      // A hung run ends the request: the runs after it would hang alike.
      {"reload hung", true, reloadRun_, {End::kTimedOut, -1}, "pfctl -f " + paths_.pfConf + hung,
       {reloadRun_}},
      {"load hung", true, loadRun_, {End::kTimedOut, -1},
       "pfctl -a com.korvane.helper.firewall -f " + paths_.anchorFile() + hung,
       {reloadRun_, loadRun_}},
      // clang-format on
  };
  for (const auto& c : cases) {
    writeFile(paths_.pfConf, "pass all\n", 0640);
    runner_.calls.clear();
    runner_.status = [&](const Args& a) { return a == c.ends ? c.how : exited(0); };
    const korvane::FlagMessage reply = apply(c.enable, {22});
    EXPECT_FALSE(reply.success) << c.name;
    EXPECT_EQ(reply.message, c.reply) << c.name;
    EXPECT_EQ(runner_.calls, c.runs) << c.name;
  }

  // A request that cannot have the lock in time runs nothing.
  std::latch holding(1), release(1);
  RecordingRunner slow;
  slow.status = [&](const Args&) {
    holding.count_down();
    release.wait();
    return exited(0);
  };
  std::thread first([&] { PfFirewall(slow, paths_).apply(false, {}, {}, {}, {}); });
  holding.wait();
  runner_.calls.clear();
  EXPECT_EQ(
      PfFirewall(runner_, paths_, std::chrono::milliseconds(50)).apply(true, {22}, {}, {}, {}),
      (korvane::FlagMessage{false, "another firewall change is in progress"}));
  EXPECT_EQ(runner_.calls, std::vector<Args>{});
  release.count_down();
  first.join();
}

TEST_F(FirewallTest, RefusalsAndFileFailuresEndTheRequestBeforeAnyPfctlRun) {
  const std::string longName = root_.file(std::string(250, 'p'));
  const std::string anchor = paths_.anchorFile(), conf = paths_.pfConf;
  const std::string error = "File system error: Could not ";
  const struct {
    std::string reply;
    std::function<void(FirewallPaths&)> stage = nullptr;
    std::string pfConf = "pass all\n";  // as given, and as it must stay ("": none)
    Values inTcp = {22}, outUdp = {};
  } cases[] = {
      // A port that is not an integer from 0 to 65535 refuses the request
      // before any file is touched.
      {.reply = "Invalid port in inboundTCP: element at index 1 is a string, not an integer.",
       .inTcp = {80, "443"}},
      {.reply = "Invalid port in outboundUDP: element at index 0 is 18446744073709551615, outside "
                "0 to 65535.",
       .outUdp = {std::uint64_t{18446744073709551615u}}},
      {.reply = "Invalid port in outboundUDP: element at index 1 is 65536, outside 0 to 65535.",
       .outUdp = {53, 65536}},
      {.reply = "Invalid port in inboundTCP: element at index 0 is -1, outside 0 to 65535.",
       .inTcp = {-1}},
      {.reply = "Invalid port in outboundUDP: element at index 1 is a floating-point number, not "
                "an integer.",
       .outUdp = {53, 1.0}},
      {error + "read \"" + conf + "\" (open): No such file or directory.", {}, ""},
      {error + "read \"" + conf + "\": the file is not valid UTF-8 text.", {}, "pass\n# caf\xE9\n"},
      {error + "read \"" + conf + "\" (read): Is a directory.",
       [](FirewallPaths& p) { fs::create_directory(p.pfConf); }, ""},
      {error + "write \"" + anchor + "\" (mkstemp): No such file or directory.",
       [](FirewallPaths& p) { fs::remove(p.anchorFolder); }},
      // A non-empty folder where the anchor file goes: the rename fails.
      {error + "write \"" + anchor + "\" (rename): Is a directory.",
       [&](FirewallPaths&) { fs::create_directories(anchor + "/kept"); }},
      // pf.conf can be read, but the temporary name beside it (".NAME.XXXXXX")
      // exceeds the 255-byte name limit, so writing it back fails, even for root.
      {error + "write \"" + longName + "\" (mkstemp): File name too long.",
       [&](FirewallPaths& p) { p.pfConf = longName; }},
  };
  for (const auto& c : cases) {
    FirewallPaths paths = paths_;
    fs::remove_all(paths.pfConf);
    if (c.stage) c.stage(paths);
    if (!c.pfConf.empty()) writeFile(paths.pfConf, c.pfConf);
    RecordingRunner runner;
    EXPECT_EQ(PfFirewall(runner, paths).apply(true, c.inTcp, {}, {}, c.outUdp),
              (korvane::FlagMessage{false, c.reply}));
    EXPECT_EQ(runner.calls, std::vector<Args>{}) << c.reply;
    EXPECT_EQ(readFile(paths.pfConf), c.pfConf) << c.reply;
    EXPECT_TRUE(!c.reply.starts_with("Invalid") || !fs::exists(anchor)) << "an anchor file";
    fs::create_directories(paths_.anchorFolder);
    for (const auto& name : entriesOf(paths_.anchorFolder)) {
      EXPECT_FALSE(name.starts_with(".")) << "a temporary file left: " << c.reply;
    }
    fs::remove_all(paths_.anchorFolder);
    fs::create_directory(paths_.anchorFolder);
  }
  EXPECT_EQ(entriesOf(root_.path()), (std::set<std::string>{"pf.anchors", std::string(250, 'p')}));
}

}  // namespace
}  // namespace firewall
