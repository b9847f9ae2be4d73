#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <optional>

#include "common/decimal.h"
#include "platform/libproc.h"

namespace platform {
namespace {

// Room for processes that start between the size query and the fill.
constexpr int kSpareSlots = 64;

// /proc files are made whole on the first read; these sizes hold stat and
// statm in one read (the buffer grows should one ever be longer, up to a
// bound).
constexpr std::size_t kFirstReadSize = 4096;
constexpr std::size_t kStatmSize = 256;
constexpr std::size_t kMaxFileSize = std::size_t{1} << 20;

// "N/leaf" (or "N"), relative to the /proc descriptor.
struct PidPath {
  PidPath(int pid, std::string_view leaf) {
    char* end = std::to_chars(text, text + 11, pid).ptr;
    if (!leaf.empty()) *end++ = '/';
    *std::copy(leaf.begin(), leaf.end(), end) = '\0';
  }
  char text[32];
};

std::uint64_t ticksToNanoseconds(std::uint64_t ticks) {
  static const std::uint64_t hz = static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));
  constexpr std::uint64_t kNs = 1'000'000'000;
  if (hz == 0) return 0;
  // Whole seconds and the remainder apart, so that no realistic count
  // overflows on the way.
  return ticks / hz * kNs + ticks % hz * kNs / hz;
}

std::int32_t clampToInt32(std::uint64_t v) {
  return static_cast<std::int32_t>(std::min<std::uint64_t>(v, INT32_MAX));
}

std::uint32_t bsdStatus(char state) {
  switch (state) {
    case 'R':
      return 2;  // SRUN
    case 'T':
    case 't':
      return 4;  // SSTOP
    case 'Z':
    case 'X':
      return 5;  // SZOMB
    default:
      return 3;  // SSLEEP
  }
}

// The whole of the open /proc file `fd`, read from its start (so a kept
// descriptor reads the file as the kernel writes it now), in `into`.
bool readFromStart(int fd, std::vector<char>& into, std::string_view* text) {
  std::size_t used = 0;
  for (;;) {
    if (used == into.size()) {
      if (into.size() >= kMaxFileSize) return errno = EFBIG, false;
      into.resize(into.size() * 2);
    }
    const ssize_t n =
        ::pread(fd, into.data() + used, into.size() - used, static_cast<off_t>(used));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    used += static_cast<std::size_t>(n);
    // A read that leaves room has reached the end: no second read for it.
    if (n == 0 || used < into.size()) break;
  }
  *text = std::string_view(into.data(), used);
  return true;
}

}  // namespace

ProcTable::ProcTable(ProcFields fields, std::size_t keptFiles)
    : proc_(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
      statBuffer_(kFirstReadSize),
      statmBuffer_(kStatmSize),
      fields_(fields),
      keptLimit_(fields == ProcFields::kAll ? keptFiles : 0) {}

bool ProcTable::read(const char* relative, std::vector<char>& into, std::string_view* text) {
  UniqueFd fd(::openat(proc_.get(), relative, O_RDONLY | O_CLOEXEC));
  return fd && readFromStart(fd.get(), into, text);
}

bool ProcTable::readPidFile(int pid, const char* leaf, UniqueFd KeptFiles::*file,
                            std::vector<char>& into, std::string_view* text) {
  if (keptLimit_ == 0) return read(PidPath(pid, leaf).text, into, text);
  UniqueFd* kept = &(kept_[pid].*file);
  if (*kept) {
    if (readFromStart(kept->get(), into, text)) return true;
    // Reaped (ESRCH): the pid may be another process's by now, so it is
    // opened again by its number below, as any unread pid is.
    kept->reset();
    --keptCount_;
  }
  UniqueFd fd(::openat(proc_.get(), PidPath(pid, leaf).text, O_RDONLY | O_CLOEXEC));
  if (!fd || !readFromStart(fd.get(), into, text)) return false;
  if (keptCount_ < keptLimit_) {
    *kept = std::move(fd);
    ++keptCount_;
  }
  return true;
}

void ProcTable::forgetAllBut(const std::int32_t* pids, int count) {
  for (auto it = kept_.begin(); it != kept_.end();) {
    if (std::binary_search(pids, pids + count, it->first)) {
      ++it;
      continue;
    }
    keptCount_ -= (it->second.stat ? 1 : 0) + (it->second.statm ? 1 : 0);
    it = kept_.erase(it);
  }
}

// Reads /proc/N/stat into stat_ unless the task flavor just did for `pid`.
bool ProcTable::readStat(int pid) {
  if (statPid_ == pid) return true;
  statPid_ = 0;
  std::string_view text;
  if (!readPidFile(pid, "stat", &KeptFiles::stat, statBuffer_, &text)) return false;
  if (!parseStat(text, &stat_)) return errno = EIO, false;
  statPid_ = pid;
  return true;
}

// Reads /proc/N/status into status_ unless the other flavor just did for `pid`.
bool ProcTable::readStatus(int pid) {
  if (statPid_ == pid) return true;
  statPid_ = 0;
  std::string_view text;
  if (!read(PidPath(pid, "status").text, statBuffer_, &text)) return false;
  if (!parseStatus(text, &status_)) return errno = EIO, false;
  statPid_ = pid;
  return true;
}

int ProcTable::taskInfoFromStatus(int pid, proc_taskinfo* out) {
  statPid_ = 0;  // always read anew here
  if (!readStatus(pid)) return 0;
  if (hasExited(status_.state, status_.threads)) return errno = ESRCH, 0;
  *out = proc_taskinfo{};
  out->pti_virtual_size = status_.virtualBytes;
  out->pti_resident_size = status_.residentBytes;
  out->pti_threadnum = clampToInt32(status_.threads);
  out->pti_numrunning = status_.state == 'R' ? 1 : 0;
  return static_cast<int>(sizeof(proc_taskinfo));
}

int ProcTable::bsdInfoFromStatus(int pid, proc_bsdinfo* out) {
  const bool haveStatus = readStatus(pid);
  statPid_ = 0;
  if (!haveStatus) return 0;
  *out = proc_bsdinfo{};
  const std::string_view name(status_.name, status_.nameSize);
  std::copy_n(name.data(), std::min(name.size(), sizeof out->pbi_name), out->pbi_name);
  std::copy_n(name.data(), std::min(name.size(), sizeof out->pbi_comm - 1), out->pbi_comm);
  out->pbi_status = bsdStatus(status_.state);
  out->pbi_pid = static_cast<std::uint32_t>(pid);
  out->pbi_ppid = status_.ppid;
  out->pbi_ruid = status_.uids[0];
  out->pbi_uid = status_.uids[1];
  out->pbi_svuid = status_.uids[2];
  out->pbi_rgid = status_.gids[0];
  out->pbi_gid = status_.gids[1];
  out->pbi_svgid = status_.gids[2];
  return static_cast<int>(sizeof(proc_bsdinfo));
}

int ProcTable::taskInfo(int pid, proc_taskinfo* out) {
  statPid_ = 0;  // always read anew here
  if (!readStat(pid)) return 0;
  if (hasExited(stat_)) return errno = ESRCH, 0;
  // The resident count in stat is the kernel's per-CPU approximation, off by
  // hundreds of KiB for a quiet process; statm sums the counters exactly.
  static const std::uint64_t pageSize = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  std::string_view text;
  std::uint64_t residentPages;
  if (!readPidFile(pid, "statm", &KeptFiles::statm, statmBuffer_, &text)) return 0;
  if (!parseStatm(text, &residentPages)) return errno = EIO, 0;

  *out = proc_taskinfo{};
  out->pti_virtual_size = stat_.virtualBytes;
  out->pti_resident_size = residentPages * pageSize;
  out->pti_total_user = ticksToNanoseconds(stat_.userTicks);
  out->pti_total_system = ticksToNanoseconds(stat_.systemTicks);
  out->pti_faults = clampToInt32(stat_.minorFaults + stat_.majorFaults);
  out->pti_pageins = clampToInt32(stat_.majorFaults);
  out->pti_threadnum = clampToInt32(stat_.threads);
  out->pti_numrunning = stat_.state == 'R' ? 1 : 0;
  out->pti_priority = static_cast<std::int32_t>(stat_.priority);
  return static_cast<int>(sizeof(proc_taskinfo));
}

int ProcTable::bsdInfo(int pid, proc_bsdinfo* out) {
  const bool haveStat = readStat(pid);
  statPid_ = 0;
  if (!haveStat) return 0;
  // /proc/N itself is owned by the process's effective uid and gid, even
  // when the process is not dumpable (only the files in it then belong to
  // root): the kernel keeps it so for readers like this one, since stat()
  // costs a fraction of reading /proc/N/status.
  struct stat owner;
  if (::fstatat(proc_.get(), PidPath(pid, "").text, &owner, 0) != 0) return 0;
  *out = proc_bsdinfo{};
  std::copy_n(stat_.name.data(), std::min(stat_.name.size(), sizeof out->pbi_name), out->pbi_name);
  std::copy_n(stat_.name.data(), std::min(stat_.name.size(), sizeof out->pbi_comm - 1),
              out->pbi_comm);
  out->pbi_status = bsdStatus(stat_.state);
  out->pbi_pid = static_cast<std::uint32_t>(pid);
  out->pbi_ppid = stat_.ppid;
  out->pbi_uid = owner.st_uid;
  out->pbi_gid = owner.st_gid;
  out->pbi_ruid = out->pbi_svuid = out->pbi_rgid = out->pbi_svgid = UINT32_MAX;
  return static_cast<int>(sizeof(proc_bsdinfo));
}

int ProcTable::listPids(std::uint32_t type, std::uint32_t typeinfo, void* buffer, int buffersize) {
  if (type != PROC_ALL_PIDS || typeinfo != 0 || buffersize < 0) return errno = EINVAL, 0;
  if (!proc_) return 0;
  constexpr int kPidSize = static_cast<int>(sizeof(std::int32_t));
  if (buffer == nullptr) {
    // Every process has a thread: the machine's thread count (the fourth
    // field of loadavg, "0.00 0.01 0.05 1/123 4567") bounds the pids.
    std::string_view text;
    int threads = 0;
    if (!read("loadavg", statBuffer_, &text)) return 0;
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) return errno = EIO, 0;
    const auto [p, ec] =
        std::from_chars(text.data() + slash + 1, text.data() + text.size(), threads);
    if (ec != std::errc() || threads < 0) return errno = EIO, 0;
    if (threads > INT_MAX / kPidSize - kSpareSlots) return INT_MAX / kPidSize * kPidSize;
    return (threads + kSpareSlots) * kPidSize;
  }
  std::int32_t* out = static_cast<std::int32_t*>(buffer);
  const int slots = buffersize / kPidSize;
  if (::lseek(proc_.get(), 0, SEEK_SET) != 0) return 0;
  alignas(dirent64) char entries[32 * 1024];
  int filled = 0;
  for (;;) {
    const long n = ::syscall(SYS_getdents64, proc_.get(), entries, sizeof entries);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (long off = 0; off < n;) {
      const auto* d = reinterpret_cast<const dirent64*>(entries + off);
      off += d->d_reclen;
      if (d->d_type != DT_DIR || d->d_name[0] < '1' || d->d_name[0] > '9') continue;
      const std::optional<std::int32_t> pid = common::parseDecimal<std::int32_t>(d->d_name);
      if (!pid) continue;
      if (filled == slots) break;
      out[filled++] = *pid;
    }
    if (filled == slots) break;
  }
  if (!kept_.empty()) forgetAllBut(out, filled);
  return filled * kPidSize;
}

int ProcTable::pidInfo(int pid, int flavor, std::uint64_t arg, void* buffer, int buffersize) {
  if (pid <= 0 || arg != 0 || buffer == nullptr) return errno = EINVAL, 0;
  const bool status = fields_ == ProcFields::kWithoutTimes;
  if (flavor == PROC_PIDTASKINFO && buffersize >= static_cast<int>(sizeof(proc_taskinfo))) {
    auto* task = static_cast<proc_taskinfo*>(buffer);
    return status ? taskInfoFromStatus(pid, task) : taskInfo(pid, task);
  }
  if (flavor == PROC_PIDTBSDINFO && buffersize >= static_cast<int>(sizeof(proc_bsdinfo))) {
    auto* bsd = static_cast<proc_bsdinfo*>(buffer);
    return status ? bsdInfoFromStatus(pid, bsd) : bsdInfo(pid, bsd);
  }
  return errno = EINVAL, 0;
}

// The kernel marks a name that has been unlinked with " (deleted)"; a file
// may also be called that. The text names the running file only when it
// leads to the very same inode.
bool ProcTable::removedWhileRunning(int pid, const char* path) {
  struct stat running;
  struct stat named;
  if (::fstatat(proc_.get(), PidPath(pid, "exe").text, &running, 0) != 0) return true;
  if (::stat(path, &named) != 0) return true;
  return running.st_dev != named.st_dev || running.st_ino != named.st_ino;
}

int ProcTable::pidPath(int pid, void* buffer, std::uint32_t buffersize) {
  if (pid <= 0 || buffer == nullptr || buffersize == 0) return errno = EINVAL, 0;
  char* out = static_cast<char*>(buffer);
  const std::size_t size = std::min<std::uint32_t>(buffersize, INT_MAX);
  // readlink truncates silently; a result that fills the buffer leaves no
  // room for the NUL and may be cut, so it counts as unreadable.
  const ssize_t n = ::readlinkat(proc_.get(), PidPath(pid, "exe").text, out, size);
  if (n < 0) return 0;
  if (static_cast<std::size_t>(n) >= size) {
    out[0] = '\0';
    return errno = ENAMETOOLONG, 0;
  }
  out[n] = '\0';
  constexpr std::string_view kDeleted = " (deleted)";
  if (std::string_view(out, static_cast<std::size_t>(n)).ends_with(kDeleted) &&
      removedWhileRunning(pid, out)) {
    out[0] = '\0';
    return errno = ENOENT, 0;
  }
  return static_cast<int>(n);
}

}  // namespace platform
