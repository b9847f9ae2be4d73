// The text of /proc/N/stat and /proc/N/status turned into values: pure
// functions of the file's bytes, for the libproc counterpart (and its fuzz
// targets). They accept any bytes; what does not parse is refused, never
// read past.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace platform {

// The fields of /proc/N/stat the task information is made of.
struct ProcStat {
  std::string_view name;  // between the first "(" and the last ")", raw bytes
  char state = 0;         // R, S, D, Z, X, ...
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

// The lines of /proc/N/status the BSD information (and the resident size)
// is made of.
struct ProcStatus {
  std::string_view name;  // as the file escapes it (see unescapeStatusName)
  char state = 0;
  std::uint32_t pid = 0;
  std::uint32_t ppid = 0;
  std::uint32_t uids[3] = {};  // real, effective, saved
  std::uint32_t gids[3] = {};
  std::uint64_t residentKiB = 0;  // VmRSS; 0 for processes without memory
};

// True when `text` has well-formed Name, Uid and Gid lines (and well-formed
// Pid, PPid and VmRSS lines where present); `out` then refers into `text`,
// and what the text lacks is 0.
bool parseStatus(std::string_view text, ProcStatus* out);

// The name of a status file's Name line without its escapes ("\n" for a
// line feed, "\\" for a backslash), written to `out`: at most `size` bytes,
// NUL-terminated when shorter.
void unescapeStatusName(std::string_view escaped, char* out, std::size_t size);

}  // namespace platform
