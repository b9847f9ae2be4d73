#include "client/auth_agent.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/pidfd.h"
#include "platform/unique_fd.h"

namespace korvane {
namespace {

constexpr const char* kHelperGroup = "korvane-helper";

// The gid of group `name` in /etc/group, read as a file: the client is linked
// statically, and the NSS modules glibc would load into it for getgrnam
// (libnss_systemd) crash there when the group is missing.
std::optional<gid_t> groupInFile(const char* name) {
  const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen("/etc/group", "re"), &std::fclose);
  std::vector<char> buf(16384);
  group entry{};
  group* found = nullptr;
  while (file && ::fgetgrent_r(file.get(), &entry, buf.data(), buf.size(), &found) == 0) {
    if (std::strcmp(found->gr_name, name) == 0) return found->gr_gid;
  }
  return std::nullopt;
}

// The cgroup path of the line whose controller field is `controllers`.
std::string_view cgroupPath(std::string_view text, std::string_view controllers) {
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second != std::string_view::npos &&
        line.substr(first + 1, second - first - 1) == controllers) {
      return line.substr(second + 1);
    }
  }
  return {};
}

std::vector<char*> agentArguments(std::vector<std::string>& texts) {
  std::vector<char*> argv;
  argv.reserve(texts.size() + 1);
  for (auto& t : texts) argv.push_back(t.data());
  argv.push_back(nullptr);
  return argv;
}

// In the forked child: only async-signal-safe calls, nothing allocated.
[[noreturn]] void execAgent(const char* path, char* const argv[], int notify) {
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  const bool placed = notify == kAgentNotifyFd ? ::fcntl(notify, F_SETFD, 0) == 0
                                               : ::dup2(notify, kAgentNotifyFd) == kAgentNotifyFd;
  const gid_t gid = ::getgid();
  if (placed && ::close_range(kAgentNotifyFd + 1, ~0U, 0) == 0 && ::setresgid(gid, gid, gid) == 0) {
    ::execv(path, argv);
  }
  // The agent only ever closes the descriptor: a byte on it says there is none.
  [[maybe_unused]] const ssize_t told = ::write(placed ? kAgentNotifyFd : notify, "!", 1);
  ::_exit(127);
}

}  // namespace

bool inLoginSession(std::string_view procSelfCgroup) {
  std::string_view path = cgroupPath(procSelfCgroup, "name=systemd");
  if (path.empty()) path = cgroupPath(procSelfCgroup, "");
  while (!path.empty()) {
    const std::size_t start = path.find_first_not_of('/');
    if (start == std::string_view::npos) return false;
    path.remove_prefix(start);
    const std::string_view unit = path.substr(0, path.find('/'));
    path.remove_prefix(unit.size());
    if (unit.ends_with(".slice")) continue;
    constexpr std::string_view kPrefix = "session-", kSuffix = ".scope";
    if (!unit.starts_with(kPrefix) || !unit.ends_with(kSuffix)) return false;
    const std::string_view id =
        unit.substr(kPrefix.size(), unit.size() - kPrefix.size() - kSuffix.size());
    return !id.empty() && std::all_of(id.begin(), id.end(), [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) != 0;
    });
  }
  return false;
}

bool mayNeedAuthentication() {
  if (!::isatty(STDIN_FILENO) || ::getuid() == 0) return false;
  const auto helperGroup = groupInFile(kHelperGroup);
  if (!helperGroup) return true;
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
  const int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
  groups.resize(static_cast<std::size_t>(std::max(count, 0)));
  return std::find(groups.begin(), groups.end(), *helperGroup) == groups.end();
}

AuthAgent AuthAgent::start(bool fallback, const std::string& agentPath, int waitSeconds) {
  std::vector<std::string> texts = {agentPath, "--process", std::to_string(::getpid()),
                                    "--notify-fd", std::to_string(kAgentNotifyFd)};
  if (fallback) texts.emplace_back("--fallback");
  const std::vector<char*> argv = agentArguments(texts);
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return AuthAgent();
  platform::UniqueFd notified(ends[0]), notify(ends[1]);
  const pid_t pid = ::fork();
  if (pid < 0) return AuthAgent();
  if (pid == 0) execAgent(agentPath.c_str(), argv.data(), notify.get());
  AuthAgent agent(pid);
  notify.reset();
  // The agent closes its end once it is registered with polkit, or exits.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
  int ready;
  do {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd notice{notified.get(), POLLIN, 0};
    ready = ::poll(&notice, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
  } while (ready < 0 && errno == EINTR);
  char byte;
  const bool failed = ready > 0 && ::read(notified.get(), &byte, 1) > 0;
  int status;
  if (::waitpid(pid, &status, failed ? 0 : WNOHANG) == pid) agent.pid_ = -1;
  return agent;
}

AuthAgent AuthAgent::startForThisProcess() {
  std::string cgroup(4096, '\0');
  platform::UniqueFd fd(::open("/proc/self/cgroup", O_RDONLY | O_CLOEXEC));
  const ssize_t n = fd ? ::read(fd.get(), cgroup.data(), cgroup.size()) : -1;
  cgroup.resize(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
  return start(inLoginSession(cgroup));
}

AuthAgent::AuthAgent(AuthAgent&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

AuthAgent& AuthAgent::operator=(AuthAgent&& other) noexcept {
  if (this != &other) {
    end();
    pid_ = std::exchange(other.pid_, -1);
  }
  return *this;
}

AuthAgent::~AuthAgent() { end(); }

void AuthAgent::end() {
  if (pid_ <= 0) return;
  // An agent that ignores SIGTERM must not keep the client from exiting.
  const platform::UniqueFd process = platform::pidfdOpen(pid_);
  ::kill(pid_, SIGTERM);
  pollfd exited{process.get(), POLLIN, 0};
  if (process && ::poll(&exited, 1, 1000) <= 0) ::kill(pid_, SIGKILL);
  int status;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace korvane
