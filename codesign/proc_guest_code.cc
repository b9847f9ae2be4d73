// Guest code on Linux: the executable of a live process, through /proc.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <charconv>
#include <string>

#include "codesign/security.h"
#include "platform/pidfd.h"

namespace codesign {
namespace {

using platform::UniqueFd;
using transport::AuditToken;

// The pid that `pidfd` names as this process sees it, from the "Pid:" line
// of its fdinfo: -1 once the process has exited, nullopt when `pidfd` is
// not a pidfd at all.
std::optional<pid_t> pidOfPidfd(int pidfd) {
  const std::string path = "/proc/self/fdinfo/" + std::to_string(pidfd);
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  // fdinfo of a pidfd is a few short lines; 4 KiB holds it whole.
  char buffer[4096];
  ssize_t size;
  do {
    size = ::read(fd.get(), buffer, sizeof buffer - 1);
  } while (size < 0 && errno == EINTR);
  if (size <= 0) return std::nullopt;
  const std::string_view text(buffer, static_cast<std::size_t>(size));
  constexpr std::string_view kKey = "\nPid:\t";
  const std::size_t at = text.find(kKey);
  if (at == std::string_view::npos) return std::nullopt;
  const char* begin = text.data() + at + kKey.size();
  const char* end = text.data() + text.size();
  pid_t pid = 0;
  const auto [next, error] = std::from_chars(begin, end, pid);
  if (error != std::errc() || next == end || *next != '\n') return std::nullopt;
  return pid;
}

// Whether the process runs in the daemon's own user namespace. In a user
// namespace of its own an unprivileged process holds CAP_SYS_ADMIN, which
// lets it point /proc/<pid>/exe at a file it does not run
// (prctl(PR_SET_MM_MAP) with exe_fd) and lets it write any pid it can see into
// SCM_CREDENTIALS; the code of such a process cannot be vouched for.
bool inOurUserNamespace(pid_t pid) {
  struct stat ours {
  }, theirs{};
  const std::string path = "/proc/" + std::to_string(pid) + "/ns/user";
  return ::stat("/proc/self/ns/user", &ours) == 0 && ::stat(path.c_str(), &theirs) == 0 &&
         ours.st_dev == theirs.st_dev && ours.st_ino == theirs.st_ino;
}

}  // namespace

OSStatus SecCodeCopyGuestWithAttributes(const SecCode* host, const GuestAttributes& attributes,
                                        SecCSFlags flags, SecCodeRef* guest) {
  if (guest == nullptr) return errSecCSObjectRequired;
  if (host != nullptr) return errSecCSNotAHost;
  if (flags != kSecCSDefaultFlags) return errSecCSInvalidFlags;
  if (!attributes.audit) return errSecCSUnsupportedGuestAttributes;
  const AuditToken& token = *attributes.audit;
  if (token.pid <= 0 || token.pidfd < 0) return errSecCSInvalidAttributeValues;
  if (pidOfPidfd(token.pidfd) != token.pid) return errSecCSNoSuchCode;

  const std::string exe = "/proc/" + std::to_string(token.pid) + "/exe";
  UniqueFd file(::open(exe.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return errSecCSNoSuchCode;
  if (!inOurUserNamespace(token.pid)) return errSecCSNoSuchCode;
  // Only now is the pid known to have named the token's process while the
  // file was opened: had it exited and its pid been reused before the open,
  // the pidfd would report it gone.
  if (!platform::pidfdAlive(token.pidfd)) return errSecCSNoSuchCode;
  *guest = std::make_unique<SecCode>(std::move(file), token.pid);
  return errSecSuccess;
}

}  // namespace codesign
