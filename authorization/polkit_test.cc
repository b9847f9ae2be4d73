// The polkit check against a real polkitd on a private system bus, in
// private namespaces: one bus serves every case.
#include "authorization/polkit.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>

#include <filesystem>

#include "authorization/actions.h"
#include "platform/pidfd.h"
#include "tests/e2e/sandbox.h"

namespace authorization {
namespace {
namespace fs = std::filesystem;
using testsupport::readFile;

constexpr uid_t kUser = 4242;

// Open to all (this judges polkit, not the bus policy), with no service
// activation: a stopped polkitd stays stopped.
constexpr char kBusConfig[] = R"(<busconfig><type>system</type><auth>EXTERNAL</auth>
<listen>unix:path=/run/dbus/system_bus_socket</listen>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>
<allow receive_sender="*"/></policy><includedir>/usr/share/dbus-1/system.d</includedir>
</busconfig>)";

// `argv` as `uid` (0: root), output appended to `out`; with `tty`, that
// terminal as its controlling terminal and input and `fd3` as descriptor 3.
class Program : public e2e::OwnedProcess {
 public:
  Program(const std::vector<std::string>& argv, uid_t uid, const std::string& out = "/dev/null",
          const char* tty = nullptr, int fd3 = -1)
      : OwnedProcess(::fork()) {
    if (pid_ != 0) return;
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (o < 0 || ::dup2(o, 1) < 0 || ::dup2(o, 2) < 0 ||
        (tty && (::setsid() < 0 || ::dup2(::open(tty, O_RDWR), 0) < 0 || ::dup2(fd3, 3) < 0))) {
      ::_exit(126);
    }
    testsupport::execAs(argv, uid ? std::optional(uid) : std::nullopt);
  }
};

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
  // The helper's policy as polkit's only actions; kUser in a private copy of
  // /etc/passwd.
  fs::create_directories("/run/dbus");
  fs::create_directories("/run/test/actions");
  fs::copy_file(KORVANE_POLKIT_POLICY, "/run/test/actions/com.korvane.helper.policy");
  testsupport::writeFile("/run/test/passwd", readFile("/etc/passwd") + "korvane-polkit-user:x:" +
                                                 std::to_string(kUser) + ":65534::/:/bin/sh\n");
  testsupport::writeFile("/run/test/bus.conf", kBusConfig);
  for (const auto& [from, to] : {std::pair{"/run/test/actions", "/usr/share/polkit-1/actions"},
                                 {"/run/test/passwd", "/etc/passwd"}}) {
    ASSERT_EQ(::mount(from, to, nullptr, MS_BIND, nullptr), 0) << to;
  }
  Program bus({"/usr/bin/dbus-daemon", "--config-file=/run/test/bus.conf", "--nofork",
               "--nopidfile", "--nosyslog"},
              0, "/run/test/dbus.log");
  Program polkitd({"/usr/lib/polkit-1/polkitd", "--no-debug"}, 0, "/run/test/polkitd.log");

  // The start time is read after the name, which may hold ") ".
  fs::create_symlink("/usr/bin/sleep", "/run/test/a) b c");
  Caller user(kUser), odd(kUser, "/run/test/a) b c"), gone(kUser);
  ::kill(gone.process.pid(), SIGKILL);
  gone.process.reap();
  PolkitChecker checker;  // one bus connection serves every check
  ASSERT_TRUE(e2e::eventually([&] {
    return checker.check(user.subject(), kSignalOwnProcessAction, {}, -1).decision ==
           Decision::kAllowed;
  })) << readFile("/run/test/polkitd.log");

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
      kUser, "/run/test/agent.log", ::ptsname(terminal.get()), notify[1]);
  ::close(notify[1]);
  char byte;
  ASSERT_EQ(::read(notify[0], &byte, 1), 0) << "the agent did not register";
  ::close(notify[0]);
  Program monitor(
      {"/usr/bin/dbus-monitor", "--system", "interface='org.freedesktop.PolicyKit1.Authority'"}, 0,
      "/run/test/monitor.log");
  ASSERT_TRUE(e2e::eventually([] { return !readFile("/run/test/monitor.log").empty(); }));
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, client), 0);
  platform::UniqueFd ours(client[0]);
  Program hangUp({"/usr/bin/sleep", "0.5"}, 0);
  ::close(client[1]);
  EXPECT_EQ(checker.check(user.subject(), kSignalProcessAction, {}, ours.get()).reason,
            "the client hung up");
  std::string monitored;
  const std::string cancel = "member=CancelCheckAuthorization\n   string \"";
  ASSERT_TRUE(e2e::eventually([&] {
    return (monitored = readFile("/run/test/monitor.log")).find(cancel) != std::string::npos;
  })) << monitored;
  const std::size_t id = monitored.find(cancel) + cancel.size();
  EXPECT_NE(monitored.find("uint32 1\n   string \"" +
                           monitored.substr(id, monitored.find('"', id) - id) + "\""),
            std::string::npos)
      << monitored;

  ::kill(polkitd.pid(), SIGKILL);
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
