#include "interface/helper_protocol.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "interface/helper_implementation.h"
#include "testsupport/testsupport.h"

namespace interface {
namespace {

using common::Array;
using common::Value;

// Every method throws before it replies, except the firewall's, which
// replies and then throws.
class Thrower final : public HelperProtocol {
  void fetchSystemProcessesWithCompletion(ListingReply) override { fail(); }
  void fetchDetailedProcessesWithCompletion(ListingReply) override { fail(); }
  void fetchAllProcessDataWithCompletion(ListingReply) override { fail(); }
  void terminateProcessWithPid(std::int64_t, FlagReply) override { fail(); }
  void uninstallAppAt(const std::optional<std::string>&, FlagMessageReply) override { fail(); }
  void applyFirewallWithEnable(bool, const std::optional<Array>&, const std::optional<Array>&,
                               const std::optional<Array>&, const std::optional<Array>&,
                               FlagMessageReply reply) override {
    reply({true, std::nullopt});
    fail();
  }
  void sendSignalWithPid(std::int64_t, const std::optional<std::string>&, FlagReply) override {
    fail();
  }
  static void fail() { throw std::runtime_error("boom"); }
};

// Every reply `object` gives to `selector` with `arguments`.
std::vector<Array> repliesOf(HelperProtocol& object, const char* selector, Array arguments) {
  const auto iface = HelperProtocol::interface();
  const auto* method = iface->find(selector);
  EXPECT_NE(method, nullptr) << selector;
  std::vector<Array> replies;
  transport::ReplyBlock block([&](Array params) { replies.push_back(std::move(params)); });
  transport::Invocation invocation{*method, std::move(arguments), block};
  if (method != nullptr) object.invoke(invocation);
  return replies;
}

TEST(HelperProtocol, AThrowingMethodStillRepliesExactlyOnceInItsShape) {
  const Value nil{common::Nil{}};
  const Array failed{Value(false), Value("The helper failed to carry out the request.")};
  const struct {
    const char* selector;
    Array arguments;
    Array reply;
  } cases[] = {
      {kFetchSystemProcesses, {}, {Value(Array{})}},
      {kTerminateProcess, {Value(1)}, {Value(false)}},
      {kUninstallApp, {Value("/Applications/X.app")}, failed},
      {kApplyFirewall, {Value(true), nil, nil, nil, nil}, {Value(true), nil}},
  };
  Thrower object;
  for (const auto& c : cases) {
    EXPECT_EQ(repliesOf(object, c.selector, c.arguments), std::vector<Array>{c.reply})
        << c.selector;
  }
}

// No listing of this test reads the process table (the listings' own are
// DaemonTest.ListingsShowWhatRunsAsPsAndPsutilSeeIt's, through the daemon).
struct NoProcesses final : processes::ProcessSource {
  std::unique_ptr<processes::ProcessTable> openTable() override { return nullptr; }
};

struct Recorder final : control::CommandRunner, control::ProcessSignaller {
  control::ToolStatus runCommand(const std::string& path,
                                 const std::vector<std::string>& args) override {
    runs.push_back(path);
    runs.insert(runs.end(), args.begin(), args.end());
    return control::ToolStatus::exited(0);
  }
  bool mayTarget(std::int32_t) override { return true; }
  bool signalProcess(std::int32_t pid, int signal) override {
    runs.push_back("kill(" + std::to_string(pid) + ", " + std::to_string(signal) + ")");
    return true;
  }
  std::vector<std::string> runs;
};

// The handler routes each request to its routine with its arguments in their
// places, and refuses nil where no default is safe (a nil signal would make
// kill read the pid as its option).
TEST(HelperImplementation, RoutesEachRequestAndRefusesANilSignal) {
  testsupport::TempDir dir;
  firewall::FirewallPaths paths{dir.path(), dir.file("pf.conf"), "/pfctl"};
  testsupport::writeFile(paths.pfConf, "");
  NoProcesses source;
  Recorder recorder;
  firewall::Firewall firewall(recorder, paths);
  HelperImplementation object(
      {source, recorder, recorder, firewall, [] { return common::Listing{"ps line"}; }});
  const Value nil{common::Nil{}};
  auto ports = [](std::int64_t p) { return Value(Array{Value(p)}); };
  const struct {
    const char* name;
    const char* selector;
    Array arguments;
    Array reply;
    std::vector<std::string> runs;
  } cases[] = {
      // clang-format off
      {"ps", kFetchSystemProcesses, {}, {Value(Array{Value("ps line")})}, {}},
      {"terminate", kTerminateProcess, {Value(42)}, {Value(true)}, {"kill(42, 9)"}},
      {"signal", kSendSignal, {Value(42), Value("-STOP")}, {Value(true)},
       {"/bin/kill", "-STOP", "42"}},
      {"nil signal", kSendSignal, {Value(42), nil}, {Value(false)}, {}},
      {"nil path", kUninstallApp, {nil}, {Value(false), Value("Refusing to remove an empty path")},
       {}},
      {"firewall", kApplyFirewall, {Value(true), ports(1), ports(2), ports(3), ports(4)},
       {Value(true), nil}, {"/pfctl", "-f", paths.pfConf, "/pfctl", "-a",
        "com.korvane.helper.firewall", "-f", paths.anchorFile(), "/pfctl", "-E"}},
      // clang-format on
  };
  for (const auto& c : cases) {
    recorder.runs.clear();
    EXPECT_EQ(repliesOf(object, c.selector, c.arguments), std::vector<Array>{c.reply}) << c.name;
    EXPECT_EQ(recorder.runs, c.runs) << c.name;
  }
  // Each list in its place: inbound TCP 1, outbound TCP 2, inbound UDP 3, outbound UDP 4.
  const std::string rules = testsupport::readFile(paths.anchorFile());
  for (const char* rule : {"block drop in inet proto tcp from any to any port { 1 }",
                           "block return out inet proto tcp from any to any port { 2 }",
                           "block drop in inet proto udp from any to any port { 3 }",
                           "block return out inet proto udp from any to any port { 4 }"}) {
    EXPECT_NE(rules.find(rule), std::string::npos) << rule << " in\n" << rules;
  }
}

}  // namespace
}  // namespace interface
