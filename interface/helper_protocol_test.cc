#include "interface/helper_protocol.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "interface/helper_implementation.h"

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

// Every service of the handler, faked: each call is written to `runs` with
// its arguments, as the routine would receive them.
struct Machine final : processes::ProcessSource,
                       processes::SystemProcessLister,
                       control::CommandRunner,
                       control::ProcessSignaller,
                       control::SignalTargets,
                       control::AppRemover,
                       firewall::Firewall,
                       authorization::Journal {
  // The listings' own tests are DaemonTest.ListingsShowWhatRunsAsPsAndPsutilSeeIt's.
  std::unique_ptr<processes::ProcessTable> openTable(processes::Fields) override { return nullptr; }
  std::optional<korvane::Listing> list(std::string* err) override {
    if (fault == "ps") *err = "posix_spawn /bin/ps: No such file or directory";
    return fault == "ps" ? std::nullopt : std::optional(korvane::Listing{"ps line"});
  }
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
  // Every process but 404 exists; 501 is the caller's, the others root's.
  std::optional<control::SignalTarget> find(std::int64_t pid) override {
    if (pid == 404) return std::nullopt;
    const uid_t owner = pid == 501 ? 501 : 0;
    return control::SignalTarget{static_cast<pid_t>(pid), {{owner, owner, "sleep"}}, {}};
  }
  bool unchanged(std::int64_t, const control::SignalTarget&) override { return fault != "reused"; }
  korvane::FlagMessage uninstallApp(const std::string& path) override {
    runs.push_back("remove [" + path + "]");
    return {false, "gone"};
  }
  korvane::FlagMessage apply(bool enable, const Array& inTcp, const Array& outTcp,
                             const Array& inUdp, const Array& outUdp) override {
    runs.push_back(enable ? "firewall on" : "firewall off");
    for (const Array* list : {&inTcp, &outTcp, &inUdp, &outUdp}) {
      std::string ports;
      for (const Value& port : *list) ports += std::to_string(std::get<std::int64_t>(port.v));
      runs.push_back(ports + ";");
    }
    return {true, std::nullopt};
  }
  void record(const authorization::AuditRecord& r) override { records.push_back(r); }
  void note(std::string_view line) override { runs.push_back("note: " + std::string(line)); }

  std::string fault;  // "ps" fails; the target of a signal is "reused" while asking
  std::vector<std::string> runs;
  std::vector<authorization::AuditRecord> records;
};

// Who authorizes every request of the test: `by`, as the case says.
struct Gate final : Authorizer {
  Authorization authorize(const char*, const authorization::Details&) override {
    return {by, by == authorization::AuthorizedBy::kDenied ? "not authorized by polkit" : ""};
  }
  authorization::AuthorizedBy by = authorization::AuthorizedBy::kGroup;
};

// The handler routes each request to its routine with its arguments in their
// places, refuses nil or unknown where no default is safe (a nil signal would
// make kill read the pid as its option), and asks first: a denied caller
// gets no act, a listing is refused with its own frame, and every act and
// denial is recorded (a listing only when denied).
TEST(HelperImplementation, RoutesEachAuthorizedRequestRefusesTheRestAndRecordsActs) {
  using authorization::AuthorizedBy;
  Machine machine;
  HelperServices services{machine, machine, machine, machine, machine, machine, machine, machine};
  auto gate = std::make_unique<Gate>();
  Gate& decides = *gate;
  HelperImplementation object(services, std::move(gate), {4242, 501, "/usr/bin/korvane-helperctl"});
  const Value nil{common::Nil{}};
  auto ports = [](std::int64_t a, std::int64_t b) { return Value(Array{Value(a), Value(b)}); };
  const AuthorizedBy no = AuthorizedBy::kDenied, group = AuthorizedBy::kGroup;
  const Array removed{Value(false), Value("gone")};
  const struct {
    const char* name;
    const char* selector;
    Array arguments;
    Array reply;
    std::string runs;  // joined by spaces
    AuthorizedBy by;
    std::string record;  // "ACTION RESULT [PORTS]" of the one record (com.korvane.helper. left out)
    std::string fault = "";
  } cases[] = {
      // clang-format off
      {"ps", kFetchSystemProcesses, {}, {Value(Array{Value("ps line")})}, "", group, ""},
      {"ps fails", kFetchSystemProcesses, {}, {Value(Array{})}, "note: the ps listing failed, "
       "replied empty: posix_spawn /bin/ps: No such file or directory", group, "", "ps"},
      {"terminate", kTerminateProcess, {Value(77)}, {Value(true)}, "kill(77, 9)",
       AuthorizedBy::kRoot, "signal-process YES"},
      {"signal", kSendSignal, {Value(77), Value("-STOP")}, {Value(true)}, "/bin/kill -STOP 77",
       AuthorizedBy::kPolkit, "signal-process YES"},
      {"signal to one's own", kSendSignal, {Value(501), Value("-9")}, {Value(true)},
       "/bin/kill -9 501", group, "signal-own-process YES"},
      {"target reused", kTerminateProcess, {Value(77)}, {Value(false)}, "", group,
       "signal-process NO: the target changed", "reused"},
      {"nil signal", kSendSignal, {Value(77), nil}, {Value(false)}, "", group, ""},
      {"unknown signal", kSendSignal, {Value(77), Value("-BOGUS")}, {Value(false)}, "", group, ""},
      {"no such process", kTerminateProcess, {Value(404)}, {Value(false)}, "", group, ""},
      {"path as given", kUninstallApp, {Value("/opt/x/../A b.app/")}, removed,
       "remove [/opt/x/../A b.app/]", group, "remove-application NO: gone"},
      {"nil path", kUninstallApp, {nil}, removed, "remove []", group, "remove-application NO: gone"},
      {"firewall", kApplyFirewall, {Value(true), ports(1, 5), ports(2, 6), ports(3, 7), ports(4, 8)},
       {Value(true), nil}, "firewall on 15; 26; 37; 48;", group,
       "change-firewall YES [inbound-tcp 1,5; outbound-tcp 2,6; inbound-udp 3,7; outbound-udp 4,8]"},
      {"firewall off", kApplyFirewall, {Value(false), ports(1, 5), nil, nil, nil}, {Value(true), nil},
       "firewall off 15; ; ; ;", group, "change-firewall YES [disable]"},
      {"listing denied", kFetchAllProcessData, {}, {Value("not-authorized")}, "", no,
       "list-processes not authorized by polkit"},
      {"terminate denied", kTerminateProcess, {Value(77)}, {Value(false)}, "", no,
       "signal-process not authorized by polkit"},
      {"removal denied", kUninstallApp, {Value("/opt/x/A.app")},
       {Value(false), Value("Not authorized: com.korvane.helper.remove-application")}, "", no,
       "remove-application not authorized by polkit"},
      {"firewall denied", kApplyFirewall, {Value(true), ports(1, 5), nil, nil, nil},
       {Value(false), Value("Not authorized: com.korvane.helper.change-firewall")}, "", no,
       "change-firewall not authorized by polkit [inbound-tcp 1,5]"},
      // clang-format on
  };
  for (const auto& c : cases) {
    machine.runs.clear();
    machine.records.clear();
    machine.fault = c.fault;
    decides.by = c.by;
    EXPECT_EQ(repliesOf(object, c.selector, c.arguments), std::vector<Array>{c.reply}) << c.name;
    std::string runs;
    for (const auto& run : machine.runs) runs += (runs.empty() ? "" : " ") + run;
    EXPECT_EQ(runs, c.runs) << c.name;
    std::string recorded;
    for (const auto& r : machine.records) {
      recorded += r.action.substr(sizeof "com.korvane.helper." - 1) + " " + r.result.value_or("");
      if (r.ports) recorded += " [" + *r.ports + "]";
      EXPECT_EQ(r.authorizedBy, c.by) << c.name;
      EXPECT_EQ(r.callerPid, 4242) << c.name;
    }
    EXPECT_EQ(recorded, c.record) << c.name;
  }
}

}  // namespace
}  // namespace interface
