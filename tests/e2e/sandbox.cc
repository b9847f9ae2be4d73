#include "tests/e2e/sandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "platform/error_text.h"
#include "platform/unique_fd.h"

namespace e2e {
namespace fs = std::filesystem;
namespace {

constexpr char kDaemonOutput[] = "/run/korvane-daemon.out";
constexpr char kDaemonErrors[] = "/run/korvane-daemon.err";

bool fail(std::string* why, const std::string& what) {
  *why = what + ": " + platform::errorText(errno);
  return false;
}

// Ends `pid` first when `kill`, then reaps it.
int endProcess(pid_t pid, bool kill) {
  if (pid > 0 && kill) ::kill(pid, SIGKILL);
  return pid > 0 ? testsupport::reap(pid) : -1;
}

// Children started from now on belong to our own pid namespace again.
bool leavePrivatePidNamespace() {
  platform::UniqueFd own(::open("/proc/self/ns/pid", O_RDONLY | O_CLOEXEC));
  return own && ::setns(own.get(), CLONE_NEWPID) == 0;
}

}  // namespace

RunResult helperctl(const std::vector<std::string>& args, std::optional<uid_t> uid) {
  std::vector<std::string> argv = {helperctlPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, uid);
}

std::vector<std::string> asMember(std::vector<std::string> argv) {
  argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                             "--groups=korvane-helper", "--"});
  return argv;
}

bool enterPrivateNamespaces(int namespaces, std::string* why) {
  if (namespaces & kPid) {
    // A pid namespace whose init is gone takes no new process (LeakSanitizer starts one at
    // exit, and cannot run in the children: the host's /proc is theirs).
    static const int atExit = std::atexit([] { leavePrivatePidNamespace(); });
    if (atExit != 0 || !leavePrivatePidNamespace()) return fail(why, "setns");
    const char* asan = std::getenv("ASAN_OPTIONS");
    ::setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":detect_leaks=0").c_str(), 1);
  }
  const int flags = CLONE_NEWNS | ((namespaces & kNetwork) ? CLONE_NEWNET : 0) |
                    ((namespaces & kPid) ? CLONE_NEWPID : 0);
  if (::unshare(flags) != 0) return fail(why, "unshare");
  return (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
          ::mount("tmpfs", "/run", "tmpfs", MS_NODEV, "mode=0755") == 0 &&
          install(helperctlPath(), readFile(KORVANE_HELPERCTL_PATH)) == helperctlPath()) ||
         fail(why, "mount (/ private, tmpfs on /run with the client)");
}

std::string install(const fs::path& path, const std::string& bytes, uid_t owner, mode_t mode) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  const group* client = ::getgrnam(KORVANE_CLIENT_GROUP);
  EXPECT_NE(client, nullptr);
  EXPECT_EQ(::chown(path.c_str(), owner, client ? client->gr_gid : 0), 0) << path;
  EXPECT_EQ(::chmod(path.c_str(), mode), 0) << path;
  return path.string();
}

pid_t innermostPid(pid_t hostPid) {
  const std::string status = readFile(procPath(hostPid) + "/status");  // "NSpid:\tOUTER...\tINNER"
  const std::size_t line = status.find("\nNSpid:"), end = status.find('\n', line + 1);
  return line == std::string::npos ? -1 : std::stoi(status.substr(status.rfind('\t', end) + 1));
}

void overlay(const std::string& target) {
  // Upper and work folders live on the private /run tmpfs.
  static int counter = 0;
  const fs::path base = fs::path("/run/korvane-overlay") / std::to_string(counter++);
  for (const char* folder : {"upper", "work"}) fs::create_directories(base / folder);
  const std::string options = "lowerdir=" + target + ",upperdir=" + (base / "upper").string() +
                              ",workdir=" + (base / "work").string();
  if (::mount("overlay", target.c_str(), "overlay", 0, options.c_str()) != 0) {
    throw std::runtime_error("overlay on " + target + ": " + platform::errorText(errno));
  }
}

OwnedProcess::~OwnedProcess() { endProcess(pid_, true); }

int OwnedProcess::reap() { return endProcess(std::exchange(pid_, -1), false); }

StartedProcess::StartedProcess(const std::vector<std::string>& argv, std::optional<uid_t> uid,
                               const std::string& out, const char* tty)
    : OwnedProcess(::fork()) {
  if (pid_ == 0) {
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (o < 0 || ::dup2(o, 1) < 0 || ::dup2(o, 2) < 0 ||
        (tty && (::setsid() < 0 || ::dup2(::open(tty, O_RDWR), 0) < 0))) {
      ::_exit(126);
    }
    testsupport::execAs(argv, uid);
  }
  const std::string exe = procPath(pid_) + "/exe";
  std::error_code ec;
  if (pid_ > 0 && eventually([&] { return fs::read_symlink(exe, ec) == fs::canonical(argv[0]); })) {
    return;
  }
  endProcess(std::exchange(pid_, -1), true);
  throw std::runtime_error("could not start " + argv[0]);
}

namespace {

// Open to all (polkit is what is judged, not the bus policy), with no service
// activation: a stopped polkitd stays stopped.
constexpr char kBusConfig[] = R"(<busconfig><type>system</type><auth>EXTERNAL</auth>
<listen>unix:path=/run/dbus/system_bus_socket</listen>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>
<allow receive_sender="*"/></policy><includedir>/usr/share/dbus-1/system.d</includedir>
</busconfig>)";

// kPolkitAdminPassword, as crypt(3) SHA-512.
constexpr char kAdminHash[] =
    "$6$korvanesalt$FEnWbiC/hg7zuak9tYOanFnzGE0x.DahIYqZE7CpW1aCc4ALRqcnNbpEMhvyUaIFHGHg89HGMmAlV5"
    "GlsGCmt/";

}  // namespace

PolkitBus::PolkitBus() {
  for (const char* folder : {"/etc", "/usr/share/polkit-1/actions"}) overlay(folder);
  fs::copy_file(KORVANE_POLKIT_POLICY, "/usr/share/polkit-1/actions/com.korvane.helper.policy",
                fs::copy_options::overwrite_existing);
  std::string group = readFile("/etc/group");
  const std::size_t sudo = group.find("\nsudo:"), end = group.find('\n', sudo + 1);
  if (sudo == std::string::npos) throw std::runtime_error("no sudo group in /etc/group");
  group.insert(end, std::string(group[end - 1] == ':' ? "" : ",") + "korvane-admin");
  testsupport::writeFile("/etc/group", group);
  std::ofstream("/etc/passwd", std::ios::app)
      << "korvane-user:x:" << kPolkitUser << ":65534::/:/bin/sh\nkorvane-admin:x:" << kPolkitAdmin
      << ":65534::/:/bin/sh\n";
  std::ofstream("/etc/shadow", std::ios::app) << "korvane-admin:" << kAdminHash << ":19000::::::\n";
  const std::string base = "/run/polkit-test/";
  fs::create_directories("/run/dbus");
  fs::create_directories(base);
  testsupport::writeFile(base + "bus.conf", kBusConfig);
  bus_.emplace(
      std::vector<std::string>{"/usr/bin/dbus-daemon", "--config-file=" + base + "bus.conf",
                               "--nofork", "--nopidfile", "--nosyslog"},
      std::nullopt, base + "log");
  // polkitd exits when the bus is not there yet.
  eventually([] { return fs::exists("/run/dbus/system_bus_socket"); });
  polkitd_.emplace(std::vector<std::string>{"/usr/lib/polkit-1/polkitd"}, std::nullopt,
                   base + "log");
  const std::vector<std::string> ask = {"/usr/bin/dbus-send",
                                        "--system",
                                        "--print-reply",
                                        "--dest=org.freedesktop.DBus",
                                        "/",
                                        "org.freedesktop.DBus.NameHasOwner",
                                        "string:org.freedesktop.PolicyKit1"};
  if (!eventually([&] { return run(ask).out.find("boolean true") != std::string::npos; })) {
    throw std::runtime_error("polkitd did not start: " + log());
  }
}

void PolkitBus::stopPolkit() { polkitd_.reset(); }

std::string PolkitBus::log() const { return readFile("/run/polkit-test/log"); }

Daemon::Daemon(bool ownProc, const std::vector<std::string>& wrapper) : OwnedProcess(::fork()) {
  if (pid_ == 0) {
    if (ownProc &&
        (::unshare(CLONE_NEWNS) != 0 ||
         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
         ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)) {
      _exit(124);
    }
    ::setsid();
    const int o = ::open(kDaemonOutput, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    const int e = ::open(kDaemonErrors, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0) _exit(126);
    std::vector<std::string> argv = wrapper;
    argv.push_back(daemonPath());
    testsupport::execAs(argv, std::nullopt);
  }
  // Serving once the socket is there.
  eventually([] { return fs::exists("/run/com.korvane.helper.socket"); });
}

bool Daemon::running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

std::string Daemon::output() const { return readFile(kDaemonOutput); }

std::string Daemon::errors() const { return readFile(kDaemonErrors); }

}  // namespace e2e
