#include "client/top.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "client/records.h"

namespace korvane {
namespace {

constexpr const char* kKeyHelp =
    "c/m/p/n sort  R reverse  arrows select  t TERM  k KILL  s STOP  r CONT  h help  q quit";

constexpr const char* kHelpScreen[] = {
    "Keys",
    "",
    "  c m p n      sort by CPU, memory, pid, name",
    "  R            reverse the order",
    "  arrows       select a process (Page Up/Down, Home, End)",
    "  t k s r      send SIGTERM, SIGKILL, SIGSTOP, SIGCONT to it (asks y/n)",
    "  u            show one user's processes (a login name or a uid)",
    "  /            show processes whose name contains a text",
    "               (Enter applies, empty shows all, Escape cancels)",
    "  h ?          this help",
    "  q Ctrl-C     quit",
    "",
    "Any key returns to the list.",
};

const char* sortName(TopSort sort) {
  switch (sort) {
    case TopSort::kCpu:
      return "CPU";
    case TopSort::kMemory:
      return "memory";
    case TopSort::kPid:
      return "pid";
    case TopSort::kName:
      break;
  }
  return "name";
}

constexpr const char* kHeadings = "    PID USER       CPU%    MEMORY  THR      TIME NAME";

std::string processLine(const TopProcess& p, int width) {
  char head[160];
  std::snprintf(head, sizeof head, "%7lld %-8.8s %6.1f %9s %4lld %9s ",
                static_cast<long long>(p.pid), terminalText(p.user, 8).c_str(), p.cpuPercent,
                humanBytes(p.resident).c_str(), static_cast<long long>(p.threads),
                cpuTimeText(p.cpuNs).c_str());
  return terminalText(head + p.name, width);
}

std::string padded(std::string line, int width) {
  const std::size_t w = displayWidth(line);
  if (w < static_cast<std::size_t>(width)) line.append(static_cast<std::size_t>(width) - w, ' ');
  return line;
}

}  // namespace

namespace {

// "PID|uid|name" of each process-data element, one per line: what decides
// whether the detailed listing is worth asking for again.
std::string identityKey(const Listing& processData) {
  std::string key;
  for (const auto& element : processData) {
    const std::size_t uidEnd = element.find('|', element.find('|') + 1);
    std::size_t nameStart = uidEnd;
    for (int bars = 0; bars < 3 && nameStart != std::string::npos; ++bars) {
      nameStart = element.find('|', nameStart + 1);
    }
    if (nameStart == std::string::npos) continue;
    key.append(element, 0, uidEnd).append(element, nameStart).push_back('\n');
  }
  return key;
}

// Whether every line of `key` is a line of `known`, in the same order (both
// list processes in pid order).
bool linesWithin(std::string_view key, std::string_view known) {
  while (!key.empty()) {
    const std::string_view line = key.substr(0, key.find('\n') + 1);
    for (;;) {
      if (known.empty()) return false;
      const std::string_view candidate = known.substr(0, known.find('\n') + 1);
      known.remove_prefix(candidate.size());
      if (candidate == line) break;
    }
    key.remove_prefix(line.size());
  }
  return true;
}

}  // namespace

bool TopSampler::needsDetailed(const Listing& processData) {
  key_ = identityKey(processData);
  if (!haveDetailed_ || sinceDetailed_ + 1 >= kDetailedEvery) return true;
  // Processes that ended leave nothing new to learn.
  if (!linesWithin(key_, detailedKey_)) return true;
  // A pid that shows up again later is then a new process.
  detailedKey_ = key_;
  return false;
}

std::vector<TopProcess> TopSampler::next(const Listing& processData, std::int64_t timeNs,
                                         const Listing* detailed) {
  ++sinceDetailed_;
  if (detailed) {
    userAndPath_.clear();
    for (const auto& element : *detailed) {
      if (auto r = parseRecord(ListingKind::kDetailedProcesses, element)) {
        userAndPath_[std::get<std::int64_t>(r->fields[0])] = {std::get<std::string>(r->fields[1]),
                                                              std::get<std::string>(r->fields[6])};
      }
    }
    detailedKey_ = key_;
    haveDetailed_ = true;
    sinceDetailed_ = 0;
  }
  const double elapsed = timeNs_ >= 0 ? static_cast<double>(timeNs - timeNs_) : 0;
  std::map<std::int64_t, std::int64_t> cpuNs;
  std::vector<TopProcess> out;
  out.reserve(processData.size());
  for (const auto& element : processData) {
    auto r = parseRecord(ListingKind::kProcessData, element);
    if (!r) continue;
    auto number = [&](std::size_t i) { return std::get<std::int64_t>(r->fields[i]); };
    TopProcess p{number(0), number(1), std::to_string(number(1)),           number(2), number(3),
                 number(4), 0,         std::get<std::string>(r->fields[5]), ""};
    if (auto up = userAndPath_.find(p.pid); up != userAndPath_.end()) {
      std::tie(p.user, p.path) = up->second;
    }
    if (auto b = cpuNs_.find(p.pid); b != cpuNs_.end() && elapsed > 0 && p.cpuNs >= b->second) {
      p.cpuPercent = static_cast<double>(p.cpuNs - b->second) * 100.0 / elapsed;
    }
    cpuNs.emplace_hint(cpuNs.end(), p.pid, p.cpuNs);
    out.push_back(std::move(p));
  }
  cpuNs_ = std::move(cpuNs);
  timeNs_ = timeNs;
  return out;
}

void sortProcesses(std::vector<TopProcess>& processes, TopSort sort, bool reversed) {
  std::stable_sort(processes.begin(), processes.end(),
                   [](const TopProcess& a, const TopProcess& b) { return a.pid < b.pid; });
  std::stable_sort(processes.begin(), processes.end(),
                   [sort, reversed](const TopProcess& x, const TopProcess& y) {
                     const TopProcess& a = reversed ? y : x;
                     const TopProcess& b = reversed ? x : y;
                     switch (sort) {
                       case TopSort::kCpu:
                         return a.cpuPercent > b.cpuPercent;
                       case TopSort::kMemory:
                         return a.resident > b.resident;
                       case TopSort::kName:
                         return a.name < b.name;
                       case TopSort::kPid:
                         break;
                     }
                     return reversed && a.pid < b.pid;
                   });
}

std::vector<KeyPress> decodeKeys(const std::string& bytes) {
  // Escape sequences of the cursor keys, in both the normal and the
  // application cursor mode.
  static const std::pair<const char*, Key> kSequences[] = {
      {"\x1b[A", Key::kUp},   {"\x1bOA", Key::kUp},      {"\x1b[B", Key::kDown},
      {"\x1bOB", Key::kDown}, {"\x1b[5~", Key::kPageUp}, {"\x1b[6~", Key::kPageDown},
      {"\x1b[H", Key::kHome}, {"\x1b[1~", Key::kHome},   {"\x1bOH", Key::kHome},
      {"\x1b[F", Key::kEnd},  {"\x1b[4~", Key::kEnd},    {"\x1bOF", Key::kEnd},
  };
  std::vector<KeyPress> keys;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::string_view rest(bytes.data() + i, bytes.size() - i);
    auto known = std::find_if(std::begin(kSequences), std::end(kSequences),
                              [&](const auto& s) { return rest.starts_with(s.first); });
    if (known != std::end(kSequences)) {
      keys.push_back({known->second, 0});
      i += std::string_view(known->first).size();
    } else if (rest[0] == '\x1b' && (rest.size() == 1 || (rest[1] != '[' && rest[1] != 'O'))) {
      keys.push_back({Key::kEscape, 0});
      ++i;
    } else if (rest[0] == '\x1b') {
      // An unknown sequence: skip it whole, up to its final byte.
      std::size_t end = 2;
      while (end < rest.size() && !(rest[end] >= 0x40 && rest[end] <= 0x7E)) ++end;
      i += std::min(end + 1, rest.size());
    } else {
      keys.push_back(rest[0] == '\x03' ? KeyPress{Key::kQuit, 0} : KeyPress{Key::kChar, rest[0]});
      ++i;
    }
  }
  return keys;
}

void TopView::update(std::vector<TopProcess> processes) {
  all_ = std::move(processes);
  refilter(selectedPid());
  if (pending_ && std::none_of(all_.begin(), all_.end(),
                               [&](const TopProcess& p) { return p.pid == pending_->pid; })) {
    status_ = std::to_string(pending_->pid) + " (" + pending_->target +
              ") has ended: " + pending_->name + " not sent";
    pending_.reset();
  }
}

void TopView::refilter(std::optional<std::int64_t> pid) {
  auto lower = [](std::string text) {
    for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
  };
  const std::string name = lower(filter_.name);
  processes_.clear();
  for (const auto& p : all_) {
    if (!filter_.user.empty() && p.user != filter_.user && std::to_string(p.uid) != filter_.user) {
      continue;
    }
    if (!name.empty() && lower(p.name).find(name) == std::string::npos) continue;
    processes_.push_back(p);
  }
  resort(pid);
}

std::optional<std::int64_t> TopView::selectedPid() const {
  if (selected_ >= processes_.size()) return std::nullopt;
  return processes_[selected_].pid;
}

void TopView::resort(std::optional<std::int64_t> pid) {
  sortProcesses(processes_, sort_, reversed_);
  auto same = std::find_if(processes_.begin(), processes_.end(),
                           [&](const TopProcess& p) { return pid && p.pid == *pid; });
  select(same != processes_.end() ? same - processes_.begin()
                                  : static_cast<std::ptrdiff_t>(selected_));
}

void TopView::select(std::ptrdiff_t index) {
  const auto last = static_cast<std::ptrdiff_t>(processes_.size()) - 1;
  selected_ = static_cast<std::size_t>(std::max<std::ptrdiff_t>(0, std::min(index, last)));
}

std::optional<TopSignal> TopView::edit(KeyPress key) {
  if (key.key == Key::kEscape || key.key == Key::kQuit) {
    editing_ = 0;
    quit_ = key.key == Key::kQuit;
  } else if (key.key == Key::kChar && (key.ch == '\r' || key.ch == '\n')) {
    const auto pid = selectedPid();
    (editing_ == 'u' ? filter_.user : filter_.name) = std::exchange(typed_, "");
    editing_ = 0;
    refilter(pid);
  } else if (key.key == Key::kChar && (key.ch == '\x7f' || key.ch == '\b')) {
    // Whole UTF-8 sequences go.
    while (!typed_.empty() && (static_cast<unsigned char>(typed_.back()) & 0xC0) == 0x80) {
      typed_.pop_back();
    }
    if (!typed_.empty()) typed_.pop_back();
  } else if (key.key == Key::kChar && static_cast<unsigned char>(key.ch) >= 0x20) {
    typed_.push_back(key.ch);
  }
  return std::nullopt;
}

std::optional<TopSignal> TopView::press(KeyPress key) {
  status_.clear();
  if (editing_) return edit(key);
  if (help_) {
    help_ = false;
    return std::nullopt;
  }
  if (pending_) {
    auto confirmed = std::exchange(pending_, std::nullopt);
    if (key.key == Key::kChar && (key.ch == 'y' || key.ch == 'Y')) return confirmed;
    status_ = "nothing sent";
    return std::nullopt;
  }
  const auto at = static_cast<std::ptrdiff_t>(selected_);
  const auto page = static_cast<std::ptrdiff_t>(pageRows_);
  switch (key.key) {
    case Key::kQuit:
      quit_ = true;
      return std::nullopt;
    case Key::kUp:
      select(at - 1);
      return std::nullopt;
    case Key::kDown:
      select(at + 1);
      return std::nullopt;
    case Key::kPageUp:
      select(at - page);
      return std::nullopt;
    case Key::kPageDown:
      select(at + page);
      return std::nullopt;
    case Key::kHome:
      select(0);
      return std::nullopt;
    case Key::kEnd:
      select(static_cast<std::ptrdiff_t>(processes_.size()));
      return std::nullopt;
    case Key::kEscape:
    case Key::kChar:
    case Key::kNone:
      break;
  }
  if (key.ch == 'q') {
    quit_ = true;
    return std::nullopt;
  }
  if (key.ch == 'h' || key.ch == '?') {
    help_ = true;
    return std::nullopt;
  }
  if (key.ch == 'u' || key.ch == '/') {
    editing_ = key.ch;
    typed_.clear();
    return std::nullopt;
  }
  static const std::map<char, TopSort> kSorts = {
      {'c', TopSort::kCpu}, {'m', TopSort::kMemory}, {'p', TopSort::kPid}, {'n', TopSort::kName}};
  static const std::map<char, std::pair<const char*, const char*>> kSignals = {
      {'t', {"SIGTERM", "-TERM"}},
      {'k', {"SIGKILL", "-KILL"}},
      {'s', {"SIGSTOP", "-STOP"}},
      {'r', {"SIGCONT", "-CONT"}}};
  if (auto s = kSorts.find(key.ch); key.ch == 'R' || s != kSorts.end()) {
    const auto pid = selectedPid();
    if (key.ch == 'R') {
      reversed_ = !reversed_;
    } else {
      sort_ = s->second;
    }
    resort(pid);
  } else if (auto g = kSignals.find(key.ch); g != kSignals.end() && !processes_.empty()) {
    const TopProcess& p = processes_[selected_];
    pending_ = TopSignal{g->second.first, g->second.second, p.pid, p.name};
  }
  return std::nullopt;
}

std::string TopView::footer(int width) const {
  if (pending_) {
    return "Send " + pending_->name + " to " + std::to_string(pending_->pid) + " (" +
           terminalText(pending_->target) + ")? y/n";
  }
  if (editing_) {
    return (editing_ == 'u' ? "Show the user (empty: all): " : "Show names containing: ") +
           terminalText(typed_);
  }
  if (!status_.empty()) return terminalText(status_);
  const std::string help = kKeyHelp;
  return static_cast<int>(help.size()) <= width ? help : "q quit";
}

std::string TopView::header() const {
  double total = 0;
  for (const auto& p : processes_) total += p.cpuPercent;
  char head[160];
  std::snprintf(head, sizeof head, "%zu processes  CPU %.1f%%  sorted by %s%s", processes_.size(),
                total, sortName(sort_), reversed_ ? ", reversed" : "");
  std::string text = head;
  if (!filter_.user.empty()) text += "  user " + filter_.user;
  if (!filter_.name.empty()) text += "  name *" + filter_.name + "*";
  return text;
}

std::string TopView::frame() const {
  std::string out = terminalText(header()) + "\n" + kHeadings + "\n";
  for (const auto& p : processes_) out.append(processLine(p, -1)).push_back('\n');
  return out;
}

std::vector<std::string> TopView::render(int width, int height, int* selectedLine) {
  width = std::max(width, 1);
  height = std::max(height, 4);
  *selectedLine = -1;
  if (help_) {
    std::vector<std::string> lines(std::begin(kHelpScreen), std::end(kHelpScreen));
    lines.resize(static_cast<std::size_t>(height));
    for (auto& line : lines) line = padded(terminalText(line, width), width);
    return lines;
  }
  std::vector<std::string> lines = {header(), kHeadings};
  // Header, headings, the selected process's path and the footer.
  pageRows_ = static_cast<std::size_t>(height - 4);
  if (selected_ < first_) first_ = selected_;
  if (selected_ >= first_ + pageRows_) first_ = selected_ - pageRows_ + 1;
  first_ = std::min(first_, processes_.size() > pageRows_ ? processes_.size() - pageRows_ : 0);
  for (std::size_t i = first_; i < processes_.size() && i < first_ + pageRows_; ++i) {
    if (i == selected_) *selectedLine = static_cast<int>(lines.size());
    lines.push_back(processLine(processes_[i], width));
  }
  lines.resize(static_cast<std::size_t>(height - 2));
  lines.push_back(selected_ < processes_.size() ? processes_[selected_].path : "");
  lines.push_back(footer(width));
  for (auto& line : lines) line = padded(terminalText(line, width), width);
  return lines;
}

}  // namespace korvane
