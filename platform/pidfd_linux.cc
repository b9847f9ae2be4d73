#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <charconv>
#include <string>
#include <string_view>

#include "platform/pidfd.h"

namespace platform {
namespace {

// The first lines of /proc/ID/status, where Name, Tgid, PPid and Uid sit.
// The name line comes first and its value is escaped by the kernel, so a
// name cannot fake a later line.
std::optional<std::string> statusHead(pid_t id) {
  const std::string path = "/proc/" + std::to_string(id) + "/status";
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string buffer(1024, '\0');
  ssize_t n;
  do {
    n = ::read(fd.get(), buffer.data(), buffer.size());
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return std::nullopt;
  buffer.resize(static_cast<std::size_t>(n));
  return buffer;
}

// The number after `key` ("\nTgid:") in `text`, the value of a status line,
// or the `index`-th of the numbers there.
std::optional<pid_t> numberAfter(std::string_view text, std::string_view key, int index = 0) {
  std::size_t at = text.find(key);
  if (at == std::string_view::npos) return std::nullopt;
  at += key.size();
  pid_t value = -1;
  for (int i = 0; i <= index; ++i) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    const auto [end, ec] = std::from_chars(text.data() + at, text.data() + text.size(), value);
    if (ec != std::errc() || end == text.data() + at || end == text.data() + text.size()) {
      return std::nullopt;
    }
    at = static_cast<std::size_t>(end - text.data());
  }
  return value;
}

std::optional<pid_t> statusField(pid_t id, std::string_view key) {
  const std::optional<std::string> head = statusHead(id);
  return head ? numberAfter(*head, key) : std::nullopt;
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

std::optional<ProcessOwner> processOwner(pid_t pid) {
  const std::optional<std::string> head = statusHead(pid);
  if (!head || !head->starts_with("Name:\t")) return std::nullopt;
  const std::optional<pid_t> real = numberAfter(*head, "\nUid:", 0);
  const std::optional<pid_t> saved = numberAfter(*head, "\nUid:", 2);
  if (!real || !saved) return std::nullopt;
  const std::size_t end = head->find('\n');
  return ProcessOwner{static_cast<uid_t>(*real), static_cast<uid_t>(*saved),
                      head->substr(6, end - 6)};
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
