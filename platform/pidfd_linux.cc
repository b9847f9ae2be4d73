#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <charconv>
#include <string>
#include <string_view>

#include "platform/pidfd.h"

namespace platform {
namespace {

// The number after `key` ("\nTgid:\t") in /proc/ID/status, read through a
// buffer that holds the status file's first lines, where Tgid and PPid sit.
std::optional<pid_t> statusField(pid_t id, std::string_view key) {
  const std::string path = "/proc/" + std::to_string(id) + "/status";
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  char buffer[1024];
  ssize_t n;
  do {
    n = ::read(fd.get(), buffer, sizeof buffer);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return std::nullopt;
  // The name line comes first and its value is escaped by the kernel, so a
  // name cannot fake a later line.
  const std::string_view text(buffer, static_cast<std::size_t>(n));
  const std::size_t at = text.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  std::size_t start = at + key.size();
  while (start < text.size() && (text[start] == ' ' || text[start] == '\t')) ++start;
  pid_t value = 0;
  const auto [end, ec] = std::from_chars(text.data() + start, text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data() + start || end == text.data() + text.size() ||
      *end != '\n') {
    return std::nullopt;
  }
  return value;
}

}  // namespace

// glibc 2.36 declares pidfd_open without C linkage and has no wrapper for
// pidfd_send_signal, so both are made as system calls. pidfds are always
// close-on-exec.
UniqueFd pidfdOpen(pid_t pid) {
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

bool pidfdAlive(int pidfd) { return pidfdSignal(pidfd, 0); }

bool pidfdSignal(int pidfd, int signal) {
  return ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0;
}

std::optional<pid_t> threadGroupOf(pid_t id) {
  if (id <= 0) return std::nullopt;
  return statusField(id, "\nTgid:");
}

bool isDescendantOf(pid_t pid, pid_t ancestor) {
  constexpr int kLongestChain = 4096;
  for (int generation = 0; generation < kLongestChain; ++generation) {
    const std::optional<pid_t> parent = statusField(pid, "\nPPid:");
    if (!parent || *parent <= 0) return false;
    if (*parent == ancestor) return true;
    pid = *parent;
  }
  return true;
}

}  // namespace platform
