// The text of /proc/N/stat, /proc/N/statm and /proc/N/status turned into values: pure
// functions of the file's bytes, for the libproc counterpart (and its fuzz
// targets). They accept any bytes; what does not parse is refused, never
// read past.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform {

// The fields of /proc/N/stat the task and BSD information are made of.
struct ProcStat {
  std::string_view name;  // between the first "(" and the last ")", raw bytes
  char state = 0;         // R, S, D, Z, X, ...
  std::uint32_t ppid = 0;
  std::uint64_t minorFaults = 0;
  std::uint64_t majorFaults = 0;
  std::uint64_t userTicks = 0;  // clock ticks
  std::uint64_t systemTicks = 0;
  std::int64_t priority = 0;
  std::uint64_t threads = 0;
  std::uint64_t virtualBytes = 0;
};

// True when `text` holds a pid, a parenthesised name and at least the fields
// up to the virtual size, every needed one a decimal number; `out` then
// refers into `text`.
bool parseStat(std::string_view text, ProcStat* out);

// True for a process whose every thread has exited: a zombie or a dead
// process. A process whose first thread has exited while others run also
// shows "Z", with a thread count above 1: it is still running.
bool hasExited(const ProcStat& stat);
bool hasExited(char state, std::uint64_t threads);

// The resident pages of /proc/N/statm (its second field). False when the
// text does not start with two decimal numbers.
bool parseStatm(std::string_view text, std::uint64_t* residentPages);

// The fields of /proc/N/status a listing without times is made of. Sizes
// are exact page counts as statm's are (the kernel sums its per-CPU counters
// for both); the name is the one stat shows, with status's escapes undone.
struct ProcStatus {
  char name[64] = {};  // the kernel's name is at most 64 bytes, never with a NUL
  std::size_t nameSize = 0;
  char state = 0;
  std::uint32_t ppid = 0;
  std::uint32_t uids[4] = {};  // real, effective, saved, filesystem
  std::uint32_t gids[4] = {};
  std::uint64_t threads = 0;
  // 0 for a process without memory of its own (kernel threads, zombies):
  // status then has no Vm lines, and statm and stat say 0.
  std::uint64_t virtualBytes = 0;
  std::uint64_t residentBytes = 0;
};

// True when `text` has the Name, State, PPid, Uid, Gid and Threads lines
// (in the kernel's order) with well-formed values, and VmSize and VmRSS well
// formed where they are present. The name's escapes are "\\" for a
// backslash and "\n" for a line feed, the only ones the kernel writes there.
bool parseStatus(std::string_view text, ProcStatus* out);

}  // namespace platform
