// The polkit check against a real polkitd on a private system bus, in
// private namespaces: one bus serves every case.
#include "authorization/polkit.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>

#include <filesystem>

#include "authorization/actions.h"
#include "platform/pidfd.h"
#include "tests/e2e/sandbox.h"

namespace authorization {
namespace {
namespace fs = std::filesystem;
using testsupport::readFile;

constexpr uid_t kUser = e2e::kPolkitUser;
using e2e::Program;

// A process of `uid` that waits to be killed, and its pidfd.
struct Caller {
  explicit Caller(uid_t owner, const std::string& sleep = "/usr/bin/sleep")
      : process({sleep, "600"}, owner), uid(owner) {}
  Subject subject() const { return {pidfd.get(), uid}; }
  e2e::StartedProcess process;
  uid_t uid;
  platform::UniqueFd pidfd = platform::pidfdOpen(process.pid());
};

TEST(PolkitChecker, AsksPolkitForTheCallersProcessAndDeniesEverythingElse) {
  std::string why;
  ASSERT_TRUE(e2e::enterPrivateNamespaces(e2e::kPid, &why)) << why;
  e2e::PolkitBus bus;

  // The start time is read after the name, which may hold ") ".
  fs::create_symlink("/usr/bin/sleep", "/run/polkit-test/a) b c");
  Caller user(kUser), odd(kUser, "/run/polkit-test/a) b c"), gone(kUser);
  ::kill(gone.process.pid(), SIGKILL);
  gone.process.reap();
  PolkitChecker checker;  // one bus connection serves every check
  ASSERT_TRUE(e2e::eventually([&] {
    return checker.check(user.subject(), kSignalOwnProcessAction, {}, -1).decision ==
           Decision::kAllowed;
  })) << bus.log();

  const struct {
    const char* name;
    Subject subject;
    const char* action;
    std::string reason;  // "authorized by polkit" alone allows
  } rows[] = {
      {"own process", user.subject(), kSignalOwnProcessAction, "authorized by polkit"},
      {"a name holding \") \"", odd.subject(), kSignalOwnProcessAction, "authorized by polkit"},
      {"another's process, no agent", user.subject(), kSignalProcessAction,
       "not authorized by polkit (no authentication)"},
      {"a listing outside a session", user.subject(), kListProcessesAction,
       "not authorized by polkit (no authentication)"},
      {"an action polkit does not know", user.subject(), "com.korvane.helper.unknown",
       "polkit: org.freedesktop.PolicyKit1.Error.Failed: Action com.korvane.helper.unknown is "
       "not registered"},
      {"an ended caller", gone.subject(), kSignalOwnProcessAction, "the caller's process is gone"},
  };
  for (const auto& row : rows) {
    const CheckResult result = checker.check(row.subject, row.action, {}, -1);
    EXPECT_EQ(result.reason, row.reason) << row.name;
    EXPECT_EQ(result.decision == Decision::kAllowed, row.reason == "authorized by polkit")
        << row.name;
  }

  // An agent asks for a password nobody types, so the check waits until the
  // client's end of its socket (held by a child that exits after 0.5 s)
  // hangs up; polkit is then told, with the id of the check that allowed
  // interaction (flags 1).
  platform::UniqueFd terminal(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_TRUE(terminal && ::grantpt(terminal.get()) == 0 && ::unlockpt(terminal.get()) == 0);
  int notify[2], client[2];
  ASSERT_EQ(::pipe2(notify, O_CLOEXEC), 0);
  Program agent(
      {"/usr/bin/pkttyagent", "--process", std::to_string(user.process.pid()), "--notify-fd", "3"},
      kUser, "/run/polkit-test/agent.log", ::ptsname(terminal.get()), notify[1]);
  ::close(notify[1]);
  char byte;
  ASSERT_EQ(::read(notify[0], &byte, 1), 0) << "the agent did not register";
  ::close(notify[0]);
  Program monitor(
      {"/usr/bin/dbus-monitor", "--system", "interface='org.freedesktop.PolicyKit1.Authority'"}, 0,
      "/run/polkit-test/monitor.log");
  ASSERT_TRUE(e2e::eventually([] { return !readFile("/run/polkit-test/monitor.log").empty(); }));
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, client), 0);
  platform::UniqueFd ours(client[0]);
  Program hangUp({"/usr/bin/sleep", "0.5"}, std::nullopt);
  ::close(client[1]);
  EXPECT_EQ(checker.check(user.subject(), kSignalProcessAction, {}, ours.get()).reason,
            "the client hung up");
  std::string monitored;
  const std::string cancel = "member=CancelCheckAuthorization\n   string \"";
  ASSERT_TRUE(e2e::eventually([&] {
    return (monitored = readFile("/run/polkit-test/monitor.log")).find(cancel) != std::string::npos;
  })) << monitored;
  const std::size_t id = monitored.find(cancel) + cancel.size();
  EXPECT_NE(monitored.find("uint32 1\n   string \"" +
                           monitored.substr(id, monitored.find('"', id) - id) + "\""),
            std::string::npos)
      << monitored;

  bus.stopPolkit();
  CheckResult result;
  EXPECT_TRUE(e2e::eventually([&] {
    result = checker.check(user.subject(), kSignalOwnProcessAction, {}, -1);
    return result.reason.rfind("polkit: org.freedesktop.DBus.Error.ServiceUnknown", 0) == 0;
  })) << result.reason;
  EXPECT_EQ(result.decision, Decision::kDenied);
  fs::remove("/run/dbus/system_bus_socket");
  EXPECT_EQ(PolkitChecker().check(user.subject(), kSignalOwnProcessAction, {}, -1).reason,
            "sd_bus_open_system: No such file or directory");
}

}  // namespace
}  // namespace authorization
