// Who may act, end to end: root, a member, and a user of neither, whom polkit
// (on a private bus) answers action by action, with an administrator's
// password typed on the user's terminal; and the record of each act and
// denial, read from a stand-in journal socket. One daemon and one bus serve
// every case.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include "authorization/actions.h"
#include "authorization/audit_record.h"
#include "platform/unique_fd.h"
#include "platform/unix_address.h"
#include "tests/e2e/sandbox.h"

namespace e2e {
namespace {
namespace fs = std::filesystem;

// The caller's uid and each step of the decision, as an entry's fields say,
// e.g. "4242 signal-own-process polkit target sleep uid 4242: YES". No value
// here holds a newline, so each field is a KEY=VALUE line.
std::string summary(const std::string& entry) {
  auto field = [&](const std::string& key, const std::string& before = "") -> std::string {
    const std::size_t at = entry.find("\nKORVANE_" + key + "=");
    if (at == std::string::npos) return "";
    const std::size_t from = at + key.size() + 10;
    return before + entry.substr(from, entry.find('\n', from) - from);
  };
  return field("CALLER_UID") +
         field("ACTION", " ").replace(1, sizeof "com.korvane.helper." - 1, "") +
         field("AUTHORIZED_BY", " ") + field("TARGET_COMM", " target ") +
         field("TARGET_UID", " uid ") + field("PATH", " path ") + field("PORTS", " ports ") +
         field("RESULT", ": ");
}

// A datagram socket at journald's address, standing in for it.
platform::UniqueFd bindJournal() {
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un address;
  platform::unixSocketAddress(authorization::kJournalSocket, &address);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

class AuthorizationE2E : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    ASSERT_TRUE(enterPrivateNamespaces(kMountOnly, &why)) << why << " (end-to-end tests need root)";
    fs::create_directories("/run/systemd/journal");
    journal_ = bindJournal().release();
    bus_ = new PolkitBus;
    daemon_ = new Daemon;
  }
  static void TearDownTestSuite() {
    delete std::exchange(daemon_, nullptr);
    delete std::exchange(bus_, nullptr);
    ::close(journal_);
  }
  void SetUp() override { ASSERT_TRUE(daemon_ && daemon_->running()); }

  // The records written since the last call, summarised, one a line.
  static std::string records() {
    std::string all;
    char entry[65536];
    for (ssize_t n; (n = ::recv(journal_, entry, sizeof entry, MSG_DONTWAIT)) > 0;) {
      all.append(all.empty() ? "" : "\n")
          .append(summary(std::string(entry, static_cast<std::size_t>(n))));
    }
    return all;
  }

  static inline int journal_ = -1;
  static inline PolkitBus* bus_ = nullptr;
  static inline Daemon* daemon_ = nullptr;
};

constexpr uid_t kUser = kPolkitUser;
const std::string kUserText = std::to_string(kPolkitUser);

TEST_F(AuthorizationE2E, RootAndMembersActOutrightAndEveryoneElseIsAskedActionByAction) {
  StartedProcess own({"/usr/bin/sleep", "600"}, kUser), roots({"/usr/bin/sleep", "601"});
  const std::string mine = std::to_string(own.pid()), root = std::to_string(roots.pid());
  const std::string user = kUserText, noAuth = "not authorized by polkit (no authentication)";
  const struct {
    const char* name;
    std::vector<std::string> argv;  // as the user unless it starts with the member wrapper
    std::optional<uid_t> uid;
    std::string out;
    std::string record;  // "" for none
  } rows[] = {
      // clang-format off
      {"root stops root's process", {"signal", "-STOP", root}, std::nullopt, "YES\n",
       "0 signal-own-process root target sleep uid 0: YES"},
      {"a member continues it", asMember({helperctlPath(), "signal", "-CONT", root}), std::nullopt,
       "YES\n", "65534 signal-process group target sleep uid 0: YES"},
      {"a user stops its own process", {"signal", "-STOP", mine}, kUser, "YES\n",
       user + " signal-own-process polkit target sleep uid " + user + ": YES"},
      {"a user may not stop root's", {"signal", "-STOP", root}, kUser, "NO\n",
       user + " signal-process denied target sleep uid 0: " + noAuth},
      {"nor remove an application", {"uninstall", "/run/polkit-test/A.app"}, kUser,
       "NO\nNot authorized: com.korvane.helper.remove-application\n",
       user + " remove-application denied path /run/polkit-test/A.app: " + noAuth},
      {"nor change the firewall", {"firewall", "enable", "--inbound-tcp", "22,80"}, kUser,
       "NO\nNot authorized: com.korvane.helper.change-firewall\n",
       user + " change-firewall denied ports inbound-tcp 22,80: " + noAuth},
      {"a user kills its own process", {"terminate", mine}, kUser, "YES\n",
       user + " signal-own-process polkit target sleep uid " + user + ": YES"},
      // clang-format on
  };
  for (const auto& row : rows) {
    const bool member = row.argv[0] == "/usr/bin/setpriv";
    const RunResult r = member ? run(row.argv) : helperctl(row.argv, row.uid);
    EXPECT_EQ(r.out, row.out) << row.name << ": " << r.err;
    EXPECT_EQ(records(), row.record) << row.name;
  }
  EXPECT_TRUE(reachesState(roots.pid(), 'S')) << "root's process runs on";
  EXPECT_EQ(own.reap(), 128 + SIGKILL);

  // A listing refused is told apart from an empty one (exit 77), and recorded.
  const RunResult listing = helperctl({"process-data"}, kUser);
  EXPECT_EQ(listing.status, 77);
  EXPECT_EQ(listing.out, "");
  EXPECT_EQ(listing.err,
            "korvane-helperctl: not authorized to list processes (ask an administrator, or see "
            "korvane-helperctl(1))\n");
  EXPECT_EQ(records(), user + " list-processes denied: " + noAuth);
}

// The client as `uid` on a terminal of its own, under a shell that keeps the
// session; polkit's prompt, through the agent the client starts, is answered
// with `password`. Without one, the client alone is killed at the prompt
// (its agent asks on) and the rest once the daemon has written its record.
// Returns the shell's exit status (128 + 9 when killed) and the screen.
std::pair<int, std::string> onTerminal(const std::vector<std::string>& args, uid_t uid,
                                       const std::optional<std::string>& password, int journal) {
  platform::UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) return {-1, ""};
  std::vector<std::string> argv = {"/bin/sh", "-c", "\"$@\"; s=$?; sleep 0.2; exit $s", "sh",
                                   helperctlPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  StartedProcess shell(argv, uid, ::ptsname(master.get()), ::ptsname(master.get()));
  std::string screen;
  bool answered = false;
  for (pollfd p{master.get(), POLLIN, 0}; ::poll(&p, 1, 30'000) > 0;) {
    char chunk[4096];
    const ssize_t n = ::read(master.get(), chunk, sizeof chunk);
    if (n <= 0) break;  // every end of the terminal closed
    screen.append(chunk, static_cast<std::size_t>(n));
    if (answered || screen.find("Password: ") == std::string::npos) continue;
    answered = true;
    if (!password) {
      const std::string children =
          readFile(procPath(shell.pid()) + "/task/" + std::to_string(shell.pid()) + "/children");
      ::kill(std::atoi(children.c_str()), SIGKILL);
      eventually([&] { return ::recv(journal, &answered, 1, MSG_PEEK | MSG_DONTWAIT) > 0; });
      ::kill(-shell.pid(), SIGKILL);
      break;
    }
    // The agent turns echo off, discarding what was typed before, then reads.
    termios modes{};
    eventually([&] { return ::tcgetattr(master.get(), &modes) == 0 && !(modes.c_lflag & ECHO); });
    const std::string line = *password + "\n";
    if (::write(master.get(), line.data(), line.size()) < 0) break;
  }
  return {shell.reap(), screen};
}

TEST_F(AuthorizationE2E, AnAdministratorsPasswordOnTheUsersTerminalLetsItKillRootsProcess) {
  StartedProcess roots({"/usr/bin/sleep", "602"});
  const std::string root = std::to_string(roots.pid());

  auto [status, screen] = onTerminal({"terminate", root}, kUser, "wrong", journal_);
  EXPECT_EQ(status, 1) << screen;
  EXPECT_NE(screen.find("korvane-admin"), std::string::npos) << screen;
  EXPECT_EQ(records(),
            kUserText + " signal-process denied target sleep uid 0: not authorized by polkit");
  EXPECT_TRUE(reachesState(roots.pid(), 'S'));

  // Hanging up while polkit waits for the password cancels the check: polkit
  // is told, with the id of the check that allowed interaction (flags 1).
  const std::string monitorLog = "/run/polkit-test/monitor.log";
  StartedProcess monitor(
      {"/usr/bin/dbus-monitor", "--system", "interface='org.freedesktop.PolicyKit1.Authority'"},
      std::nullopt, monitorLog);
  ASSERT_TRUE(eventually([&] { return !readFile(monitorLog).empty(); }));
  std::tie(status, screen) = onTerminal({"terminate", root}, kUser, std::nullopt, journal_);
  EXPECT_EQ(status, 128 + SIGKILL) << screen;
  EXPECT_EQ(records(), kUserText + " signal-process denied target sleep uid 0: the client hung up");
  EXPECT_TRUE(reachesState(roots.pid(), 'S'));
  std::string monitored;
  const std::string cancel = "member=CancelCheckAuthorization\n   string \"";
  ASSERT_TRUE(eventually([&] {
    return (monitored = readFile(monitorLog)).find(cancel) != std::string::npos;
  })) << monitored;
  const std::size_t id = monitored.find(cancel) + cancel.size();
  EXPECT_NE(monitored.find("uint32 1\n   string \"" +
                           monitored.substr(id, monitored.find('"', id) - id) + "\""),
            std::string::npos)
      << monitored;

  std::tie(status, screen) = onTerminal({"terminate", root}, kUser, kPolkitAdminPassword, journal_);
  EXPECT_EQ(status, 0) << screen << daemon_->errors() << bus_->log();
  EXPECT_NE(screen.find("YES"), std::string::npos) << screen;
  EXPECT_EQ(roots.reap(), 128 + SIGKILL);
  EXPECT_EQ(records(), kUserText + " signal-process polkit target sleep uid 0: YES");
}

TEST_F(AuthorizationE2E,
       WithoutPolkitOnlyAMemberActsAndARecordIsOneEntryOrElseALineOnStandardError) {
  StartedProcess own({"/usr/bin/sleep", "603"}, kUser);
  const std::string mine = std::to_string(own.pid());
  bus_->stopPolkit();
  EXPECT_EQ(helperctl({"signal", "-STOP", mine}, kUser).out, "NO\n");
  EXPECT_EQ(records(), kUserText + " signal-own-process denied target sleep uid " + kUserText +
                           ": polkit: org.freedesktop.DBus.Error.ServiceUnknown: The name "
                           "org.freedesktop.PolicyKit1 was not provided by any .service files");
  EXPECT_EQ(run(asMember({helperctlPath(), "terminate", mine})).out, "YES\n");
  EXPECT_EQ(own.reap(), 128 + SIGKILL);
  // A client on a terminal reads the group as a file: through NSS the static
  // client crashed when the group was missing.
  std::string group = readFile("/etc/group");
  const std::size_t at = group.find("korvane-helper:");
  testsupport::writeFile("/etc/group", group.erase(at, group.find('\n', at) - at + 1));
  EXPECT_EQ(onTerminal({"terminate", mine}, kUser, std::nullopt, journal_).first, 1);

  // A record is one journal entry with exact values: here a caller whose
  // executable's name is not UTF-8 signals a process whose name tries to add a
  // field of its own. With no journal, or a stale socket, its line goes to
  // standard error.
  using namespace authorization;
  using namespace std::string_literals;
  const AuditRecord record{.outcome = Outcome::kDone,
                           .action = kSignalProcessAction,
                           .callerPid = 4242,
                           .callerUid = 1000,
                           .callerExe = "/home/u/kor\xffvane",
                           .authorizedBy = AuthorizedBy::kPolkit,
                           .targetPid = 77,
                           .targetUid = 0,
                           .targetComm = "evil\nPRIORITY=0",
                           .signal = "-9",
                           .path = {},
                           .ports = {},
                           .result = "YES"};
  const std::string line =
      "Done: com.korvane.helper.signal-process by uid 1000 pid 4242 (/home/u/kor\\xffvane), "
      "authorized by polkit; target pid 77 (evil\\x0aPRIORITY=0) uid 0; signal -9; result YES";
  // Journald's native protocol: KEY=VALUE\n, or, for a value that holds a
  // newline, KEY\n, its 64-bit little-endian length, the value and \n.
  const std::string entry =
      "MESSAGE=" + line +
      "\nPRIORITY=5\nMESSAGE_ID=4681818f087b44d8ab91d1eccd0245ca\n"
      "SYSLOG_IDENTIFIER=com.korvane.helper\nKORVANE_ACTION=com.korvane.helper.signal-process\n"
      "KORVANE_CALLER_PID=4242\nKORVANE_CALLER_UID=1000\n"
      "KORVANE_CALLER_EXE=/home/u/kor\xffvane\nKORVANE_AUTHORIZED_BY=polkit\n"
      "KORVANE_TARGET_PID=77\nKORVANE_TARGET_UID=0\n"
      "KORVANE_TARGET_COMM\n\x0f\0\0\0\0\0\0\0evil\nPRIORITY=0\n"s
      "KORVANE_SIGNAL=-9\nKORVANE_RESULT=YES\n";
  records();
  writeAuditRecord(record);
  char datagram[65536];
  const ssize_t n = ::recv(journal_, datagram, sizeof datagram, MSG_DONTWAIT);
  EXPECT_EQ(std::string(datagram, std::max<ssize_t>(n, 0)), entry);
  fs::remove(kJournalSocket);
  for (const bool stale : {false, true}) {
    if (stale) bindJournal();  // closed at once, the file left behind
    testing::internal::CaptureStderr();
    writeAuditRecord(record);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), line + "\n") << stale;
  }
}

}  // namespace
}  // namespace e2e
