// The text of /proc/N/stat and /proc/N/statm turned into values: pure
// functions of the file's bytes, for the libproc counterpart (and its fuzz
// targets). They accept any bytes; what does not parse is refused, never
// read past.
#pragma once

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

// The resident pages of /proc/N/statm (its second field). False when the
// text does not start with two decimal numbers.
bool parseStatm(std::string_view text, std::uint64_t* residentPages);

}  // namespace platform
