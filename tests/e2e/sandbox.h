// The real daemon and client in private namespaces.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <utility>

#include "testsupport/testsupport.h"

namespace e2e {

using testsupport::eventually;
using testsupport::readFile;
using testsupport::run;
using testsupport::RunResult;
using testsupport::TempDir;

inline std::string daemonPath() { return KORVANE_DAEMON_PATH; }
// The client as installed, copied onto the private /run by enterPrivateNamespaces:
// reachable by every user wherever the build tree lies, and overlaid by no test.
inline std::string helperctlPath() { return "/run/korvane-helperctl"; }

// `path` holding `bytes`, installed as README says (root:korvane-client 2755) or not.
std::string install(const std::filesystem::path& path, const std::string& bytes, uid_t owner = 0,
                    mode_t mode = 02755);

// korvane-helperctl with `args`, as `uid` when given.
RunResult helperctl(const std::vector<std::string>& args, std::optional<uid_t> uid = std::nullopt);

// `argv` run as nobody with the one group korvane-helper: a member of the
// helper's group (whom the socket lets in), unprivileged otherwise.
std::vector<std::string> asMember(std::vector<std::string> argv);
inline RunResult helperctlAsMember(std::vector<std::string> args) {
  args.insert(args.begin(), helperctlPath());
  return run(asMember(args));
}
// What a member's `signal -STOP PID` and `terminate PID` print, one after the other.
inline std::string memberStopsAndTerminates(const std::string& pid) {
  return helperctlAsMember({"signal", "-STOP", pid}).out +
         helperctlAsMember({"terminate", pid}).out;
}

enum Namespace { kMountOnly = 0, kNetwork = 1, kPid = 2 };

// Moves the calling process into a new mount namespace (private propagation, a tmpfs on
// /run that honours set-group-ID, holding the client: nothing mounted here reaches the
// host), with kNetwork a network namespace, with kPid a pid namespace for the children
// started from now on (the first, which must be the Daemon, becomes its init: a signal to
// "every process" from inside reaches only the test's own; a later call, and the program's
// exit, leave it). False with why.
bool enterPrivateNamespaces(int namespaces, std::string* why);

// "/proc/PID": where the host's /proc shows the process `pid`.
inline std::string procPath(pid_t pid) { return "/proc/" + std::to_string(pid); }

// True once process `hostPid` is in `state` (R, S, T...), within 30 s.
inline bool reachesState(pid_t hostPid, char state) {
  return eventually([&] {
    return readFile(procPath(hostPid) + "/status").find("\nState:\t" + std::string(1, state)) !=
           std::string::npos;
  });
}

// The pid of the host process `hostPid` in its own (innermost) namespace.
pid_t innermostPid(pid_t hostPid);

// A writable overlay over `target`: the host's copy never changes.
void overlay(const std::string& target);

// A child process of the test: killed and reaped on destruction.
class OwnedProcess {
 public:
  OwnedProcess(const OwnedProcess&) = delete;
  OwnedProcess& operator=(const OwnedProcess&) = delete;
  ~OwnedProcess();
  pid_t pid() const { return pid_; }
  int reap();  // waits for it to end, as testsupport::reap does

 protected:
  explicit OwnedProcess(pid_t pid) : pid_(pid) {}
  pid_t pid_;
};

// A program (argv[0] an absolute path) as `uid` (root when none), output appended to
// `out`; with `tty` (a terminal's path) in a session of its own with that terminal as its
// controlling terminal and standard input. The constructor returns once the program runs.
class StartedProcess : public OwnedProcess {
 public:
  explicit StartedProcess(const std::vector<std::string>& argv,
                          std::optional<uid_t> uid = std::nullopt,
                          const std::string& out = "/dev/null", const char* tty = nullptr);
};

// Users of the polkit sandbox: kPolkitUser belongs to no group of the helper's;
// kPolkitAdmin, in group sudo, is the administrator polkit asks for, with the
// password kPolkitAdminPassword.
inline constexpr uid_t kPolkitUser = 4242;
inline constexpr uid_t kPolkitAdmin = 4243;
inline constexpr char kPolkitAdminPassword[] = "korvane-secret";

// A private system bus (/run/dbus/system_bus_socket) open to all, with no
// service activation, and polkitd on it, whose only actions are the helper's
// policy (in an overlay); the two users above in /etc/passwd, /etc/group and
// /etc/shadow of an overlay on /etc. Needs enterPrivateNamespaces first; logs
// under /run/polkit-test.
class PolkitBus {
 public:
  PolkitBus();
  void stopPolkit();  // polkitd killed; the bus stays
  std::string log() const;

 private:
  std::optional<StartedProcess> bus_, polkitd_;
};

// The daemon, output captured, run by `wrapper` when given. With `ownProc` it mounts
// its pid namespace's /proc, resolving its peers' pids as they number themselves.
class Daemon : public OwnedProcess {
 public:
  explicit Daemon(bool ownProc = false, const std::vector<std::string>& wrapper = {});
  bool running() const;
  std::string output() const;  // everything written to standard output so far
  std::string errors() const;  // and to standard error
};

// One daemon in `kNamespaces` serves the whole suite.
template <int kNamespaces>
class DaemonSuite : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string why;
    ASSERT_TRUE(enterPrivateNamespaces(kNamespaces, &why))
        << why << " (end-to-end tests need root)";
    daemon_ = new Daemon((kNamespaces & kPid) != 0);
  }
  static void TearDownTestSuite() { delete std::exchange(daemon_, nullptr); }
  void SetUp() override { ASSERT_TRUE(daemon_ && daemon_->running()); }

  static inline Daemon* daemon_ = nullptr;
};
using DaemonTest = DaemonSuite<kMountOnly>;

}  // namespace e2e
