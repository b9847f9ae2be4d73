#include "platform/libproc_procfs.h"

#include <algorithm>
#include <charconv>

namespace platform {
namespace {

template <typename T>
bool parseNumber(std::string_view s, T* out) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), *out);
  return ec == std::errc() && end == s.data() + s.size() && !s.empty();
}

// Fields after the name, counted from the state (field 3 of the file).
enum StatField {
  kState = 0,
  kMinorFaults = 7,
  kMajorFaults = 9,
  kUserTicks = 11,
  kSystemTicks = 12,
  kPriority = 15,
  kThreads = 17,
  kVirtualBytes = 20,
  kStatFieldsNeeded = 21,
};

// The three tab-separated ids of a Uid: or Gid: line (of four: the file
// system id is not needed).
bool parseIds(std::string_view value, std::uint32_t (&ids)[3]) {
  for (std::uint32_t& id : ids) {
    const std::size_t start = value.find_first_not_of('\t');
    if (start == std::string_view::npos) return false;
    value.remove_prefix(start);
    const std::size_t end = std::min(value.find('\t'), value.size());
    if (!parseNumber(value.substr(0, end), &id)) return false;
    value.remove_prefix(end);
  }
  return true;
}

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
  return parseNumber(f[kMinorFaults], &out->minorFaults) &&
         parseNumber(f[kMajorFaults], &out->majorFaults) &&
         parseNumber(f[kUserTicks], &out->userTicks) &&
         parseNumber(f[kSystemTicks], &out->systemTicks) &&
         parseNumber(f[kPriority], &out->priority) && parseNumber(f[kThreads], &out->threads) &&
         parseNumber(f[kVirtualBytes], &out->virtualBytes);
}

bool hasExited(const ProcStat& stat) {
  return stat.state == 'X' || (stat.state == 'Z' && stat.threads <= 1);
}

bool parseStatus(std::string_view text, ProcStatus* out) {
  *out = ProcStatus{};  // lines a process lacks (VmRSS) leave nothing of the last one
  bool haveName = false, haveUid = false, haveGid = false;
  while (!text.empty()) {
    const std::size_t eol = std::min(text.find('\n'), text.size());
    const std::string_view line = text.substr(0, eol);
    text.remove_prefix(std::min(eol + 1, text.size()));
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, colon);
    std::string_view value = line.substr(colon + 1);
    if (key == "Name") {
      if (!value.empty() && value.front() == '\t') value.remove_prefix(1);
      out->name = value;
      haveName = true;
      continue;
    }
    value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
    bool ok = true;
    if (key == "State") {
      out->state = value.empty() ? 0 : value.front();
    } else if (key == "Pid") {
      ok = parseNumber(value, &out->pid);
    } else if (key == "PPid") {
      ok = parseNumber(value, &out->ppid);
    } else if (key == "Uid") {
      ok = haveUid = parseIds(value, out->uids);
    } else if (key == "Gid") {
      ok = haveGid = parseIds(value, out->gids);
    } else if (key == "VmRSS") {
      ok = value.ends_with(" kB") &&
           parseNumber(value.substr(0, value.size() - 3), &out->residentKiB);
    }
    if (!ok) return false;
    if (key == "VmRSS") break;  // the last line needed; the rest of the file is long
  }
  return haveName && haveUid && haveGid;
}

void unescapeStatusName(std::string_view escaped, char* out, std::size_t size) {
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

}  // namespace platform
