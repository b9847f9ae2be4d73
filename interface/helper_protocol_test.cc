#include "interface/helper_protocol.h"

#include <gtest/gtest.h>
#include <unistd.h>

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

// Every reply `object` gives to `selector` with `arguments`; a refusal as "not-authorized".
std::vector<Array> repliesOf(HelperProtocol& object, const char* selector, Array arguments) {
  const auto iface = HelperProtocol::interface();
  const auto* method = iface->find(selector);
  EXPECT_NE(method, nullptr) << selector;
  std::vector<Array> replies;
  transport::ReplyBlock block([&](Array params) { replies.push_back(std::move(params)); },
                              [&] { replies.push_back({Value("not-authorized")}); });
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
  std::unique_ptr<processes::ProcessTable> openTable(processes::Fields) override { return nullptr; }
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

// Who authorizes every request of the test: `by`, as the case says.
struct Gate final : Authorizer {
  Authorization authorize(const char*, const authorization::Details&) override {
    return {by, by == authorization::AuthorizedBy::kDenied ? "not authorized by polkit" : ""};
  }
  authorization::AuthorizedBy by = authorization::AuthorizedBy::kGroup;
};

// The handler routes each request to its routine with its arguments in their
// places, refuses nil where no default is safe (a nil signal would make kill
// read the pid as its option), and asks first: a denied caller gets no act,
// a listing is refused with its own frame, and every act and denial is
// recorded (a listing only when denied).
TEST(HelperImplementation, RoutesEachAuthorizedRequestRefusesTheRestAndRecordsActs) {
  using authorization::AuthorizedBy;
  testsupport::TempDir dir;
  firewall::FirewallPaths paths{dir.path(), dir.file("pf.conf"), "/pfctl"};
  testsupport::writeFile(paths.pfConf, "");
  NoProcesses source;
  Recorder recorder;
  firewall::Firewall firewall(recorder, paths);
  std::vector<authorization::AuditRecord> records;
  HelperServices services{source, recorder, recorder, firewall,
                          [] { return common::Listing{"ps line"}; }};
  services.record = [&](const authorization::AuditRecord& r) { records.push_back(r); };
  auto gate = std::make_unique<Gate>();
  Gate& decides = *gate;
  HelperImplementation object(services, std::move(gate), {4242, 501, "/usr/bin/korvane-helperctl"});
  const Value nil{common::Nil{}};
  auto ports = [](std::int64_t p) { return Value(Array{Value(p)}); };
  const AuthorizedBy no = AuthorizedBy::kDenied;
  const std::string fw = "/pfctl -f " + paths.pfConf +
                         " /pfctl -a com.korvane.helper.firewall -f " + paths.anchorFile() +
                         " /pfctl -E";
  const AuthorizedBy group = AuthorizedBy::kGroup;
  const std::int64_t self = ::getpid();  // a target that exists, signalled through the fakes
  const std::string own = std::to_string(self);
  const struct {
    const char* name;
    const char* selector;
    Array arguments;
    Array reply;
    std::string runs;  // joined by spaces
    AuthorizedBy by;
    std::string record;  // "ACTION RESULT" of the one record (com.korvane.helper. left out)
  } cases[] = {
      // clang-format off
      {"ps", kFetchSystemProcesses, {}, {Value(Array{Value("ps line")})}, "", group, ""},
      {"terminate", kTerminateProcess, {Value(self)}, {Value(true)}, "kill(" + own + ", 9)",
       AuthorizedBy::kRoot, "signal-process YES"},
      {"signal", kSendSignal, {Value(self), Value("-STOP")}, {Value(true)}, "/bin/kill -STOP " + own,
       AuthorizedBy::kPolkit, "signal-process YES"},
      {"nil signal", kSendSignal, {Value(self), nil}, {Value(false)}, "", group, ""},
      {"no such process", kTerminateProcess, {Value(2147483647)}, {Value(false)}, "", group, ""},
      {"nil path", kUninstallApp, {nil}, {Value(false), Value("Refusing to remove an empty path")},
       "", group, "remove-application NO: Refusing to remove an empty path"},
      {"firewall", kApplyFirewall, {Value(true), ports(1), ports(2), ports(3), ports(4)},
       {Value(true), nil}, fw, group, "change-firewall YES"},
      {"listing denied", kFetchAllProcessData, {}, {Value("not-authorized")}, "", no,
       "list-processes not authorized by polkit"},
      {"terminate denied", kTerminateProcess, {Value(self)}, {Value(false)}, "", no,
       "signal-process not authorized by polkit"},
      {"removal denied", kUninstallApp, {Value("/opt/x/A.app")},
       {Value(false), Value("Not authorized: com.korvane.helper.remove-application")}, "", no,
       "remove-application not authorized by polkit"},
      {"firewall denied", kApplyFirewall, {Value(false), nil, nil, nil, nil},
       {Value(false), Value("Not authorized: com.korvane.helper.change-firewall")}, "", no,
       "change-firewall not authorized by polkit"},
      // clang-format on
  };
  for (const auto& c : cases) {
    recorder.runs.clear();
    records.clear();
    decides.by = c.by;
    EXPECT_EQ(repliesOf(object, c.selector, c.arguments), std::vector<Array>{c.reply}) << c.name;
    std::string runs;
    for (const auto& run : recorder.runs) runs += (runs.empty() ? "" : " ") + run;
    EXPECT_EQ(runs, c.runs) << c.name;
    std::string recorded;
    for (const auto& r : records) {
      recorded += r.action.substr(sizeof "com.korvane.helper." - 1) + " " + r.result.value_or("");
      EXPECT_EQ(r.authorizedBy, c.by) << c.name;
      EXPECT_EQ(r.callerPid, 4242) << c.name;
    }
    EXPECT_EQ(recorded, c.record) << c.name;
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
