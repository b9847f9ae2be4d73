#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/libproc.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

// Room for processes that start between the size query and the fill.
constexpr int kSpareSlots = 64;

// One /proc file of a process, read with a single read(): these files are
// produced whole on the first read, and the largest (status) is under 2 KiB.
// Returns the bytes read, or -1 with errno set.
ssize_t readProcFile(int pid, const char* leaf, char* buf, std::size_t size) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/%s", pid, leaf);
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return -1;
  ssize_t n;
  do {
    n = ::read(fd.get(), buf, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool parseUnsigned(std::string_view s, std::uint64_t& out) {
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && p == s.data() + s.size();
}

// Splits `s` at spaces into at most N fields.
template <std::size_t N>
std::size_t splitFields(std::string_view s, std::string_view (&fields)[N]) {
  std::size_t count = 0;
  while (!s.empty() && count < N) {
    const std::size_t space = s.find(' ');
    fields[count++] = s.substr(0, space);
    if (space == std::string_view::npos) break;
    s.remove_prefix(space + 1);
  }
  return count;
}

std::uint64_t ticksToNanoseconds(std::uint64_t ticks) {
  static const std::uint64_t hz = static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));
  constexpr std::uint64_t kNs = 1'000'000'000;
  if (hz == 0) return 0;
  // Whole seconds and the remainder apart, so that no realistic count
  // overflows on the way.
  return ticks / hz * kNs + ticks % hz * kNs / hz;
}

// Fields of /proc/N/stat after the name, counted from the state (field 3).
enum StatField {
  kState = 0,
  kMinflt = 7,
  kMajflt = 9,
  kUtime = 11,
  kStime = 12,
  kPriority = 15,
  kNumThreads = 17,
  kVsize = 20,
  kStatFieldsNeeded = 21,
};

int taskInfo(int pid, proc_taskinfo* out) {
  char stat[1024];
  ssize_t n = readProcFile(pid, "stat", stat, sizeof stat);
  if (n <= 0) return 0;
  std::string_view text(stat, static_cast<std::size_t>(n));
  // The name may hold any byte, ")" included: it ends at the last ")".
  const std::size_t close = text.rfind(')');
  if (close == std::string_view::npos || close + 2 > text.size()) return errno = EIO, 0;
  text.remove_prefix(close + 2);
  std::string_view f[kStatFieldsNeeded];
  if (splitFields(text, f) < kStatFieldsNeeded) return errno = EIO, 0;
  std::uint64_t utime, stime, threads, vsize, minflt, majflt;
  if (!parseUnsigned(f[kUtime], utime) || !parseUnsigned(f[kStime], stime) ||
      !parseUnsigned(f[kNumThreads], threads) || !parseUnsigned(f[kVsize], vsize) ||
      !parseUnsigned(f[kMinflt], minflt) || !parseUnsigned(f[kMajflt], majflt)) {
    return errno = EIO, 0;
  }
  std::int64_t priority = 0;
  std::from_chars(f[kPriority].data(), f[kPriority].data() + f[kPriority].size(), priority);

  // The resident count in stat is approximate on current kernels; statm's
  // agrees with ps.
  char statm[256];
  n = readProcFile(pid, "statm", statm, sizeof statm - 1);
  if (n <= 0) return 0;
  std::string_view m[2];
  std::uint64_t residentPages;
  if (splitFields(std::string_view(statm, static_cast<std::size_t>(n)), m) < 2 ||
      !parseUnsigned(m[1], residentPages)) {
    return errno = EIO, 0;
  }
  static const std::uint64_t pageSize = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));

  *out = proc_taskinfo{};
  out->pti_virtual_size = vsize;
  out->pti_resident_size = residentPages * pageSize;
  out->pti_total_user = ticksToNanoseconds(utime);
  out->pti_total_system = ticksToNanoseconds(stime);
  out->pti_faults = static_cast<std::int32_t>(std::min<std::uint64_t>(minflt + majflt, INT32_MAX));
  out->pti_pageins = static_cast<std::int32_t>(std::min<std::uint64_t>(majflt, INT32_MAX));
  out->pti_threadnum = static_cast<std::int32_t>(std::min<std::uint64_t>(threads, INT32_MAX));
  out->pti_numrunning = f[kState] == "R" ? 1 : 0;
  out->pti_priority = static_cast<std::int32_t>(priority);
  return static_cast<int>(sizeof(proc_taskinfo));
}

// status escapes exactly two bytes of the name: a line feed as "\n" and a
// backslash as "\\". Copies the unescaped name into `out` (at most `size`
// bytes, NUL-terminated when shorter).
void copyUnescapedName(std::string_view escaped, char* out, std::size_t size) {
  std::size_t o = 0;
  for (std::size_t i = 0; i < escaped.size() && o < size; ++i) {
    char c = escaped[i];
    if (c == '\\' && i + 1 < escaped.size()) {
      const char next = escaped[++i];
      c = next == 'n' ? '\n' : next;
    }
    out[o++] = c;
  }
  if (o < size) out[o] = '\0';
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

bool parseIds(std::string_view value, std::uint32_t& real, std::uint32_t& effective,
              std::uint32_t& saved) {
  std::uint64_t ids[3];
  for (auto& id : ids) {
    const std::size_t start = value.find_first_not_of('\t');
    if (start == std::string_view::npos) return false;
    value.remove_prefix(start);
    const std::size_t end = value.find('\t');
    if (!parseUnsigned(value.substr(0, end), id) || id > UINT32_MAX) return false;
    value.remove_prefix(end == std::string_view::npos ? value.size() : end);
  }
  real = static_cast<std::uint32_t>(ids[0]);
  effective = static_cast<std::uint32_t>(ids[1]);
  saved = static_cast<std::uint32_t>(ids[2]);
  return true;
}

// Everything comes from /proc/N/status, so a process costs one file here.
// /proc/N itself is owned by root for a non-dumpable process, so the owner
// must come from the Uid: line (its second column is the effective uid).
int bsdInfo(int pid, proc_bsdinfo* out) {
  char status[4096];
  ssize_t n = readProcFile(pid, "status", status, sizeof status);
  if (n <= 0) return 0;
  *out = proc_bsdinfo{};
  bool haveName = false, haveUid = false, haveGid = false;
  std::string_view text(status, static_cast<std::size_t>(n));
  while (!text.empty()) {
    const std::size_t eol = text.find('\n');
    std::string_view line = text.substr(0, eol);
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, colon);
    std::string_view value = line.substr(colon + 1);
    if (!value.empty() && value.front() == '\t') value.remove_prefix(1);
    std::uint64_t number;
    if (key == "Name") {
      copyUnescapedName(value, out->pbi_name, sizeof out->pbi_name);
      copyUnescapedName(value, out->pbi_comm, sizeof out->pbi_comm - 1);
      haveName = true;
    } else if (key == "State") {
      out->pbi_status = value.empty() ? 0 : bsdStatus(value.front());
    } else if (key == "Pid" && parseUnsigned(value, number)) {
      out->pbi_pid = static_cast<std::uint32_t>(number);
    } else if (key == "PPid" && parseUnsigned(value, number)) {
      out->pbi_ppid = static_cast<std::uint32_t>(number);
    } else if (key == "Uid") {
      haveUid = parseIds(value, out->pbi_ruid, out->pbi_uid, out->pbi_svuid);
    } else if (key == "Gid") {
      haveGid = parseIds(value, out->pbi_rgid, out->pbi_gid, out->pbi_svgid);
      break;  // nothing further is needed
    }
  }
  if (!haveName || !haveUid || !haveGid) return errno = EIO, 0;
  return static_cast<int>(sizeof(proc_bsdinfo));
}

// Total threads on the machine, from /proc/loadavg ("0.00 0.01 0.05 1/123
// 4567"): never fewer than processes.
int threadCount() {
  char buf[128];
  UniqueFd fd(::open("/proc/loadavg", O_RDONLY | O_CLOEXEC));
  if (!fd) return -1;
  ssize_t n = ::read(fd.get(), buf, sizeof buf);
  if (n <= 0) return -1;
  std::string_view text(buf, static_cast<std::size_t>(n));
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos) return -1;
  text.remove_prefix(slash + 1);
  int total = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), total);
  return ec == std::errc() ? total : -1;
}

int fillPids(std::int32_t* out, int slots) {
  UniqueFd dir(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return 0;
  alignas(dirent64) char buf[32 * 1024];
  int filled = 0;
  for (;;) {
    long n = ::syscall(SYS_getdents64, dir.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (long off = 0; off < n;) {
      auto* d = reinterpret_cast<dirent64*>(buf + off);
      off += d->d_reclen;
      if (d->d_type != DT_DIR || d->d_name[0] < '1' || d->d_name[0] > '9') continue;
      std::int32_t pid;
      auto [p, ec] = std::from_chars(d->d_name, d->d_name + std::strlen(d->d_name), pid);
      if (ec != std::errc() || *p != '\0') continue;
      if (filled == slots) return filled;
      out[filled++] = pid;
    }
  }
  return filled;
}

}  // namespace

int proc_listpids(std::uint32_t type, std::uint32_t typeinfo, void* buffer, int buffersize) {
  if (type != PROC_ALL_PIDS || typeinfo != 0 || buffersize < 0) return errno = EINVAL, 0;
  constexpr int kPidSize = static_cast<int>(sizeof(std::int32_t));
  if (buffer == nullptr) {
    const int threads = threadCount();
    if (threads < 0) return 0;
    if (threads > INT_MAX / kPidSize - kSpareSlots) return INT_MAX / kPidSize * kPidSize;
    return (threads + kSpareSlots) * kPidSize;
  }
  return fillPids(static_cast<std::int32_t*>(buffer), buffersize / kPidSize) * kPidSize;
}

int proc_pidinfo(int pid, int flavor, std::uint64_t arg, void* buffer, int buffersize) {
  if (pid <= 0 || arg != 0 || buffer == nullptr) return errno = EINVAL, 0;
  if (flavor == PROC_PIDTASKINFO && buffersize >= static_cast<int>(sizeof(proc_taskinfo))) {
    return taskInfo(pid, static_cast<proc_taskinfo*>(buffer));
  }
  if (flavor == PROC_PIDTBSDINFO && buffersize >= static_cast<int>(sizeof(proc_bsdinfo))) {
    return bsdInfo(pid, static_cast<proc_bsdinfo*>(buffer));
  }
  return errno = EINVAL, 0;
}

int proc_pidpath(int pid, void* buffer, std::uint32_t buffersize) {
  if (pid <= 0 || buffer == nullptr || buffersize == 0) return errno = EINVAL, 0;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/exe", pid);
  char* out = static_cast<char*>(buffer);
  const std::size_t size = std::min<std::uint32_t>(buffersize, INT_MAX);
  // readlink truncates silently; a result that fills the buffer leaves no
  // room for the NUL and may be cut, so it counts as unreadable.
  ssize_t n = ::readlink(path, out, size);
  if (n < 0) return 0;
  if (static_cast<std::size_t>(n) >= size) {
    out[0] = '\0';
    return errno = ENAMETOOLONG, 0;
  }
  out[n] = '\0';
  return static_cast<int>(n);
}

}  // namespace platform
