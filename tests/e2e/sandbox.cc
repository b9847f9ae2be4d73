#include "tests/e2e/sandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace e2e {
namespace fs = std::filesystem;

namespace {

// In a forked child: drops to `uid` (group 65534) when given, then execs
// `argv`; never returns.
[[noreturn]] void execAs(const std::vector<std::string>& argv, std::optional<uid_t> uid) {
  if (uid && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
              ::setresuid(*uid, *uid, *uid) != 0)) {
    _exit(125);
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execv(args[0], args.data());
  _exit(127);
}

[[noreturn]] void die(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string daemonPath() { return KORVANE_DAEMON_PATH; }
std::string helperctlPath() { return KORVANE_HELPERCTL_PATH; }

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "korvane-e2e.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) die("mkdtemp");
  path_ = pattern;
  // Processes the tests start as other users run programs from here.
  fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

RunResult run(const std::vector<std::string>& argv, std::optional<uid_t> uid) {
  TempDir dir;
  const fs::path out = dir.path() / "out", err = dir.path() / "err";
  pid_t pid = ::fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int n = ::open("/dev/null", O_RDONLY);
    if (o < 0 || e < 0 || n < 0) _exit(126);
    ::dup2(n, 0);
    ::dup2(o, 1);
    ::dup2(e, 2);
    execAs(argv, uid);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  RunResult r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = readFile(out);
  r.err = readFile(err);
  return r;
}

RunResult helperctl(const std::vector<std::string>& args, std::optional<uid_t> uid) {
  std::vector<std::string> argv = {helperctlPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, uid);
}

bool enterPrivateNamespaces(int namespaces, std::string* why) {
  const int flags = CLONE_NEWNS | ((namespaces & kNetwork) ? CLONE_NEWNET : 0) |
                    ((namespaces & kPid) ? CLONE_NEWPID : 0);
  if (::unshare(flags) != 0) {
    *why = std::string("unshare: ") + std::strerror(errno);
    return false;
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    *why = std::string("making / private: ") + std::strerror(errno);
    return false;
  }
  if (::mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
    *why = std::string("tmpfs on /run: ") + std::strerror(errno);
    return false;
  }
  return true;
}

fs::path overlay(const std::string& target) {
  // Upper and work folders live on the private /run tmpfs.
  static int counter = 0;
  const fs::path base = fs::path("/run/korvane-overlay") / std::to_string(counter++);
  fs::create_directories(base / "upper");
  fs::create_directories(base / "work");
  const std::string options = "lowerdir=" + target + ",upperdir=" + (base / "upper").string() +
                              ",workdir=" + (base / "work").string();
  if (::mount("overlay", target.c_str(), "overlay", 0, options.c_str()) != 0) {
    die("overlay on " + target);
  }
  return target;
}

StartedProcess::StartedProcess(const std::vector<std::string>& argv, std::optional<uid_t> uid) {
  pid_ = ::fork();
  if (pid_ < 0) die("fork");
  if (pid_ == 0) execAs(argv, uid);
  const std::string exe = "/proc/" + std::to_string(pid_) + "/exe";
  for (int i = 0; i < 500; ++i) {
    std::error_code ec;
    if (fs::read_symlink(exe, ec) == fs::canonical(argv[0])) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(pid_, SIGKILL);
  reap();
  throw std::runtime_error("could not start " + argv[0]);
}

StartedProcess::~StartedProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    reap();
  }
}

int StartedProcess::reap() {
  int status = 0;
  if (pid_ <= 0) return status;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return status;
}

pid_t innermostPid(pid_t hostPid) {
  std::ifstream status("/proc/" + std::to_string(hostPid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("NSpid:", 0) == 0) return std::stoi(line.substr(line.find_last_of('\t') + 1));
  }
  return -1;
}

Daemon::Daemon(bool ownProc) {
  outputFile_ = "/run/korvane-daemon.out";
  pid_ = ::fork();
  if (pid_ < 0) die("fork");
  if (pid_ == 0) {
    if (ownProc &&
        (::unshare(CLONE_NEWNS) != 0 ||
         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
         ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)) {
      _exit(124);
    }
    ::setsid();
    int o = ::open(outputFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    if (o < 0) _exit(126);
    ::dup2(o, 1);
    ::execl(daemonPath().c_str(), daemonPath().c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Serving once the socket answers.
  for (int i = 0; i < 500; ++i) {
    if (fs::exists("/run/com.korvane.helper.socket")) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

Daemon::~Daemon() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

bool Daemon::running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }

std::string Daemon::output() const { return readFile(outputFile_); }

}  // namespace e2e
