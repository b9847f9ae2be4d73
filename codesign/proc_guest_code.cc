// Guest code on Linux: the executable of a live process, through /proc.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <string>

#include "codesign/security.h"
#include "platform/fd_io.h"
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

// Local filesystems whose bytes change only through their own files: what
// the owner and mode of a file say holds for the bytes behind it. Not
// listed, so refused: overlay (its lower files can be rewritten under a
// running upper inode), FUSE (its server returns any bytes it likes),
// network filesystems (NFS, CIFS/SMB, 9p: another machine writes them), and
// anything unknown. ext2 and ext3 share ext4's magic number.
constexpr std::array<unsigned long, 8> kTrustedFilesystems = {
    EXT4_SUPER_MAGIC, XFS_SUPER_MAGIC, BTRFS_SUPER_MAGIC,    F2FS_SUPER_MAGIC,
    TMPFS_MAGIC,      SQUASHFS_MAGIC,  EROFS_SUPER_MAGIC_V1, 0x2fc12fc1 /* zfs */};

// Whether mount `id` is listed in the mount table `mountinfo` (the text of
// /proc/self/mountinfo: one mount a line, its id first).
bool mountTableLists(std::string_view mountinfo, std::uint64_t id) {
  while (!mountinfo.empty()) {
    const std::size_t end = std::min(mountinfo.find('\n'), mountinfo.size());
    std::uint64_t lineId = 0;
    const auto [next, error] = std::from_chars(mountinfo.data(), mountinfo.data() + end, lineId);
    if (error == std::errc() && next != mountinfo.data() && lineId == id) return true;
    mountinfo.remove_prefix(std::min(end + 1, mountinfo.size()));
  }
  return false;
}

// Whether the executable's path, as /proc/<pid>/exe names it, leads from the
// process's root to mount `id` without leaving the process's mount
// namespace: no magic link (such as /proc/<other>/root) is followed and
// nothing above the root is reached. A mount belongs to one namespace only,
// so reaching it there proves it is one of that namespace's, at a fifth of
// the cost of reading the namespace's mount table. A miss (a removed file,
// a process in a chroot, a path that leads to another mount) proves nothing.
bool reachableFromItsRoot(pid_t pid, std::uint64_t id) {
  const std::string proc = "/proc/" + std::to_string(pid);
  char path[PATH_MAX];
  const ssize_t n = ::readlink((proc + "/exe").c_str(), path, sizeof path);
  if (n <= 1 || static_cast<std::size_t>(n) >= sizeof path || path[0] != '/') return false;
  path[n] = '\0';
  UniqueFd root(::open((proc + "/root").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!root) return false;
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
  UniqueFd found(static_cast<int>(::syscall(SYS_openat2, root.get(), path + 1, &how, sizeof how)));
  struct statx attributes {};
  return found &&
         ::statx(found.get(), "", AT_EMPTY_PATH, STATX_MNT_ID, &attributes) == 0 &&
         (attributes.stx_mask & STATX_MNT_ID) != 0 && attributes.stx_mnt_id == id;
}

// Whether the open executable `fd` of process `pid` lies on a mount of that
// process's own mount namespace. Running a program off a mount of another
// namespace, reached through /proc/<pid>/root of a process there, is how an
// unprivileged user runs a file from an overlay or FUSE mount of a user
// namespace of their own, which is not on the list of any namespace they can
// be in while still in ours: entering one needs CAP_SYS_ADMIN here. (The
// daemon's own namespace is no measure: a sandboxed service gets a copy of
// the host's mounts under mount ids of its own.) The open file pins its
// mount, so the id cannot pass to another mount while it is compared.
bool onMountOfItsNamespace(pid_t pid, int fd) {
  struct statx attributes {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &attributes) != 0 ||
      (attributes.stx_mask & STATX_MNT_ID) == 0) {
    return false;
  }
  if (reachableFromItsRoot(pid, attributes.stx_mnt_id)) return true;
  std::string text;
  std::string err;
  return platform::readWholeFile("/proc/" + std::to_string(pid) + "/mountinfo", &text, &err) &&
         mountTableLists(text, attributes.stx_mnt_id);
}

// Whether only root could have changed the bytes of `fd`, the open
// executable of `pid`: owned by root, writable by no group or other, on a
// trusted local filesystem, on a mount of the process's own namespace.
// Otherwise the file read now need not be the code that runs: its owner, or
// whoever controls the filesystem, can rewrite it behind the running process.
bool onlyRootCouldChange(pid_t pid, int fd) {
  struct stat st {};
  struct statfs fs {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 ||
      (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || ::fstatfs(fd, &fs) != 0) {
    return false;
  }
  const auto type = static_cast<unsigned long>(fs.f_type);
  return std::find(kTrustedFilesystems.begin(), kTrustedFilesystems.end(), type) !=
             kTrustedFilesystems.end() &&
         onMountOfItsNamespace(pid, fd);
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
  if (!onlyRootCouldChange(token.pid, file.get())) return errSecCSStaticCodeChanged;
  // Only now is the pid known to have named the token's process while the
  // file was opened: had it exited and its pid been reused before the open,
  // the pidfd would report it gone.
  if (!platform::pidfdAlive(token.pidfd)) return errSecCSNoSuchCode;
  *guest = std::make_unique<SecCode>(std::move(file), token.pid, token.gid);
  return errSecSuccess;
}

}  // namespace codesign
