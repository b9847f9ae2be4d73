#include "platform/libproc_procfs.h"

#include <algorithm>
#include <optional>

#include "common/decimal.h"

namespace platform {
namespace {

template <typename T>
bool parseNumber(std::string_view s, T* out) {
  const std::optional<T> value = common::parseDecimal<T>(s);
  if (value) *out = *value;
  return value.has_value();
}

// Fields after the name, counted from the state (field 3 of the file).
enum StatField {
  kState = 0,
  kPpid = 1,
  kMinorFaults = 7,
  kMajorFaults = 9,
  kUserTicks = 11,
  kSystemTicks = 12,
  kPriority = 15,
  kThreads = 17,
  kVirtualBytes = 20,
  kStatFieldsNeeded = 21,
};

}  // namespace

bool parseStat(std::string_view text, ProcStat* out) {
  // The name may hold any byte, ")" and spaces included; nothing after it
  // holds a ")".
  const std::size_t open = text.find('(');
  const std::size_t close = text.rfind(')');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open ||
      close + 2 > text.size() || text[close + 1] != ' ') {
    return false;
  }
  out->name = text.substr(open + 1, close - open - 1);
  std::string_view rest = text.substr(close + 2);
  std::string_view f[kStatFieldsNeeded];
  for (std::string_view& field : f) {
    const std::size_t space = std::min(rest.find_first_of(" \n"), rest.size());
    field = rest.substr(0, space);
    rest.remove_prefix(std::min(space + 1, rest.size()));
  }
  if (f[kState].size() != 1) return false;
  out->state = f[kState][0];
  return parseNumber(f[kPpid], &out->ppid) && parseNumber(f[kMinorFaults], &out->minorFaults) &&
         parseNumber(f[kMajorFaults], &out->majorFaults) &&
         parseNumber(f[kUserTicks], &out->userTicks) &&
         parseNumber(f[kSystemTicks], &out->systemTicks) &&
         parseNumber(f[kPriority], &out->priority) && parseNumber(f[kThreads], &out->threads) &&
         parseNumber(f[kVirtualBytes], &out->virtualBytes);
}

bool hasExited(const ProcStat& stat) {
  return stat.state == 'X' || (stat.state == 'Z' && stat.threads <= 1);
}

bool parseStatm(std::string_view text, std::uint64_t* residentPages) {
  const std::size_t first = text.find(' ');
  std::uint64_t size;
  if (first == std::string_view::npos || !parseNumber(text.substr(0, first), &size)) return false;
  text.remove_prefix(first + 1);
  return parseNumber(text.substr(0, std::min(text.find_first_of(" \n"), text.size())),
                     residentPages);
}

}  // namespace platform
