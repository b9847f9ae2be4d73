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

bool hasExited(const ProcStat& stat) { return hasExited(stat.state, stat.threads); }

bool hasExited(char state, std::uint64_t threads) {
  return state == 'X' || (state == 'Z' && threads <= 1);
}

bool parseStatm(std::string_view text, std::uint64_t* residentPages) {
  const std::size_t first = text.find(' ');
  std::uint64_t size;
  if (first == std::string_view::npos || !parseNumber(text.substr(0, first), &size)) return false;
  text.remove_prefix(first + 1);
  return parseNumber(text.substr(0, std::min(text.find_first_of(" \n"), text.size())),
                     residentPages);
}

bool parseStatus(std::string_view text, ProcStatus* out) {
  *out = ProcStatus{};
  // Lines "Key:\tvalue", each looked for after the one before it; the
  // ones needed end with Threads, so the rest of the file is not looked at.
  const auto value = [&text](std::string_view key) -> std::optional<std::string_view> {
    for (;;) {
      const std::size_t end = text.find('\n');
      if (end == std::string_view::npos) return std::nullopt;
      const std::string_view line = text.substr(0, end);
      text.remove_prefix(end + 1);
      if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == ':') {
        std::string_view v = line.substr(key.size() + 1);
        v.remove_prefix(std::min(v.find_first_not_of(" \t"), v.size()));
        return v;
      }
    }
  };
  // "value kB" in bytes.
  const auto kilobytes = [](std::string_view v, std::uint64_t* bytes) {
    std::uint64_t kb;
    return v.ends_with(" kB") && parseNumber(v.substr(0, v.size() - 3), &kb) &&
           !__builtin_mul_overflow(kb, 1024, bytes);
  };
  // Four ids, tab-separated.
  const auto ids = [](std::string_view v, std::uint32_t(&into)[4]) {
    for (std::uint32_t& id : into) {
      const std::size_t tab = std::min(v.find('\t'), v.size());
      if (!parseNumber(v.substr(0, tab), &id)) return false;
      v.remove_prefix(std::min(tab + 1, v.size()));
    }
    return v.empty();
  };
  const std::optional<std::string_view> name = value("Name");
  if (!name) return false;
  for (std::size_t i = 0; i < name->size(); ++i) {
    char c = (*name)[i];
    if (c == '\\') {
      if (i + 1 == name->size()) return false;
      c = (*name)[++i];
      if (c == 'n') {
        c = '\n';
      } else if (c != '\\') {
        return false;
      }
    }
    if (out->nameSize == sizeof out->name) return false;
    out->name[out->nameSize++] = c;
  }
  const std::optional<std::string_view> state = value("State");
  if (!state || state->empty()) return false;
  out->state = (*state)[0];
  std::optional<std::string_view> v;
  if (!(v = value("PPid")) || !parseNumber(*v, &out->ppid)) return false;
  if (!(v = value("Uid")) || !ids(*v, out->uids)) return false;
  if (!(v = value("Gid")) || !ids(*v, out->gids)) return false;
  // The Vm lines come between Gid and Threads, or not at all.
  const std::string_view rest = text;
  if ((v = value("VmSize")) && !kilobytes(*v, &out->virtualBytes)) return false;
  if (v && (!(v = value("VmRSS")) || !kilobytes(*v, &out->residentBytes))) return false;
  if (!v) text = rest;
  return (v = value("Threads")) && parseNumber(*v, &out->threads);
}

}  // namespace platform
