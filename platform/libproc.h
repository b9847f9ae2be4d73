// The libproc counterpart: process enumeration and per-process information
// with the calling conventions, structure sizes and field names of macOS's
// libproc, read from /proc on Linux.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/libproc_procfs.h"
#include "platform/unique_fd.h"

namespace platform {

inline constexpr std::uint32_t PROC_ALL_PIDS = 1;
inline constexpr int PROC_PIDTBSDINFO = 3;
inline constexpr int PROC_PIDTASKINFO = 4;
inline constexpr int MAXCOMLEN = 16;

struct proc_taskinfo {
  std::uint64_t pti_virtual_size;   // bytes
  std::uint64_t pti_resident_size;  // bytes
  std::uint64_t pti_total_user;     // nanoseconds
  std::uint64_t pti_total_system;   // nanoseconds
  std::uint64_t pti_threads_user;
  std::uint64_t pti_threads_system;
  std::int32_t pti_policy;
  std::int32_t pti_faults;
  std::int32_t pti_pageins;
  std::int32_t pti_cow_faults;
  std::int32_t pti_messages_sent;
  std::int32_t pti_messages_received;
  std::int32_t pti_syscalls_mach;
  std::int32_t pti_syscalls_unix;
  std::int32_t pti_csw;
  std::int32_t pti_threadnum;
  std::int32_t pti_numrunning;
  std::int32_t pti_priority;
};
static_assert(sizeof(proc_taskinfo) == 96);

struct proc_bsdinfo {
  std::uint32_t pbi_flags;
  std::uint32_t pbi_status;  // SIDL 1, SRUN 2, SSLEEP 3, SSTOP 4, SZOMB 5
  std::uint32_t pbi_xstatus;
  std::uint32_t pbi_pid;
  std::uint32_t pbi_ppid;
  std::uint32_t pbi_uid;  // effective
  std::uint32_t pbi_gid;  // effective
  std::uint32_t pbi_ruid;
  std::uint32_t pbi_rgid;
  std::uint32_t pbi_svuid;
  std::uint32_t pbi_svgid;
  std::uint32_t rfu_1;
  char pbi_comm[MAXCOMLEN];
  char pbi_name[2 * MAXCOMLEN];  // NUL-terminated when shorter than the field
  std::uint32_t pbi_nfiles;
  std::uint32_t pbi_pgid;
  std::uint32_t pbi_pjobc;
  std::uint32_t e_tdev;
  std::uint32_t e_tpgid;
  std::int32_t pbi_nice;
  std::uint64_t pbi_start_tvsec;
  std::uint64_t pbi_start_tvusec;
};
static_assert(sizeof(proc_bsdinfo) == 136);

// What a ProcTable reads for the task and BSD flavors.
enum class ProcFields {
  // Everything described below: /proc/N/stat and /proc/N/statm, and a
  // stat() of /proc/N for the owner (3 files' worth of system calls).
  kAll,
  // No times: one read of /proc/N/status serves both flavors for a pid (the
  // kernel's own sizes, thread count, name, state, parent and all four uids
  // and gids), in one open, read and close. The task flavor's times, faults,
  // page-ins and priority are then 0.
  kWithoutTimes,
};

// One reader of the process table: libproc's proc_listpids, proc_pidinfo
// and proc_pidpath as members, bound to one descriptor of /proc opened at
// construction, with read buffers reused from call to call. The file the
// first flavor asked for a pid read serves the other flavor asked next for
// that same pid instead of being read again. One thread at a time; make one
// per listing, or keep one for listings that follow each other.
//
// With `keptFiles` above 0 (ProcFields::kAll only) the table keeps up to
// that many descriptors of /proc/N/stat and /proc/N/statm open from one
// listing to the next and reads them again from their start: the kernel
// writes such a file anew for every read from its start, so the bytes are
// those a fresh open gives, less the cost of the open and the close (about
// half of what a process costs). A descriptor stays bound to the process it
// was opened for, never a later one given the same pid: once that process
// is reaped its reads fail (ESRCH), and the file is opened again by pid.
// Filling a pid list closes the descriptors of pids not in it. Each kept
// descriptor holds a page of kernel memory while open.
class ProcTable {
 public:
  explicit ProcTable(ProcFields fields = ProcFields::kAll, std::size_t keptFiles = 0);
  ProcTable(const ProcTable&) = delete;
  ProcTable& operator=(const ProcTable&) = delete;

  // proc_listpids with type PROC_ALL_PIDS and typeinfo 0. With no buffer:
  // the bytes a buffer needs for every pid (an upper bound with room for
  // processes that start meanwhile), or 0 on failure. With a buffer: fills
  // it with whole 32-bit pids, never more than `buffersize` bytes, and
  // returns the bytes filled, or 0 on failure. Pids come in ascending order.
  int listPids(std::uint32_t type, std::uint32_t typeinfo, void* buffer, int buffersize);

  // proc_pidinfo with PROC_PIDTASKINFO (buffer of 96 bytes) or
  // PROC_PIDTBSDINFO (136 bytes), arg 0. Returns the bytes filled (the
  // structure's size) on success, 0 with errno set when the process is gone
  // or cannot be read, or the flavor or size is wrong. The task flavor fails
  // (ESRCH) for a process that has exited but is not yet reaped, as on macOS.
  // Filled: the task flavor's sizes, times, faults, thread count and
  // priority; the BSD flavor's name, state, pid, parent, and effective uid
  // and gid. With ProcFields::kAll the real and saved ids are not read
  // (only /proc/N/status has them): they are UINT32_MAX, never a misleading
  // 0; with kWithoutTimes they are read and the times are 0. The rest is 0.
  int pidInfo(int pid, int flavor, std::uint64_t arg, void* buffer, int buffersize);

  // proc_pidpath: writes the executable's path, NUL-terminated, and returns
  // its length (at least 1). Returns 0 with errno set when the process has no
  // executable (kernel threads, zombies), the path cannot be read, the file
  // has been removed (ENOENT: the name would now mean no file or another
  // one), or the path does not fit in `buffersize` with its NUL
  // (ENAMETOOLONG: never a truncated path).
  int pidPath(int pid, void* buffer, std::uint32_t buffersize);

  // Descriptors kept open now (for tests and benchmarks).
  std::size_t keptFileCount() const { return keptCount_; }

 private:
  struct KeptFiles {
    UniqueFd stat;
    UniqueFd statm;
  };
  // The whole of the file at `relative` to /proc, in `into`.
  bool read(const char* relative, std::vector<char>& into, std::string_view* text);
  // The whole of /proc/`pid`/`leaf` in `into`. With kept files: through the
  // pid's kept descriptor `file` when there is one and it still reads, else
  // opened anew (and kept there while there is room).
  bool readPidFile(int pid, const char* leaf, UniqueFd KeptFiles::*file, std::vector<char>& into,
                   std::string_view* text);
  // Closes the kept descriptors of pids not among `pids` (ascending).
  void forgetAllBut(const std::int32_t* pids, int count);
  bool readStat(int pid);
  bool readStatus(int pid);
  int taskInfo(int pid, proc_taskinfo* out);
  int bsdInfo(int pid, proc_bsdinfo* out);
  int taskInfoFromStatus(int pid, proc_taskinfo* out);
  int bsdInfoFromStatus(int pid, proc_bsdinfo* out);
  bool removedWhileRunning(int pid, const char* path);

  UniqueFd proc_;
  std::vector<char> statBuffer_;
  std::vector<char> statmBuffer_;
  int statPid_ = 0;  // whose parsed stat stat_ (or status status_) holds, 0 for none
  ProcStat stat_;
  ProcFields fields_;
  ProcStatus status_;
  std::size_t keptLimit_;
  std::size_t keptCount_ = 0;
  std::unordered_map<int, KeptFiles> kept_;
};

}  // namespace platform
