#include "client/top.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "client/records.h"

namespace client {
namespace {

constexpr const char* kKeyHelp =
    "c/m/p/n sort  R reverse  arrows select  t TERM  k KILL  s STOP  r CONT  q quit";

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

std::vector<TopProcess> topProcesses(const TopSample* previous, const TopSample& current) {
  std::map<std::int64_t, std::pair<std::string, std::string>> userAndPath;
  for (const auto& element : current.detailed) {
    if (auto r = parseRecord(ListingKind::kDetailedProcesses, element)) {
      userAndPath[std::get<std::int64_t>(r->fields[0])] = {std::get<std::string>(r->fields[1]),
                                                           std::get<std::string>(r->fields[6])};
    }
  }
  std::map<std::int64_t, std::int64_t> before;
  if (previous) {
    for (const auto& element : previous->processData) {
      if (auto r = parseRecord(ListingKind::kProcessData, element)) {
        before[std::get<std::int64_t>(r->fields[0])] = std::get<std::int64_t>(r->fields[4]);
      }
    }
  }
  const double elapsed = previous ? static_cast<double>(current.timeNs - previous->timeNs) : 0;
  std::vector<TopProcess> out;
  for (const auto& element : current.processData) {
    auto r = parseRecord(ListingKind::kProcessData, element);
    if (!r) continue;
    auto number = [&](std::size_t i) { return std::get<std::int64_t>(r->fields[i]); };
    TopProcess p{number(0), std::to_string(number(1)),           number(2), number(3), number(4),
                 0,         std::get<std::string>(r->fields[5]), ""};
    if (auto up = userAndPath.find(p.pid); up != userAndPath.end()) {
      std::tie(p.user, p.path) = up->second;
    }
    if (auto b = before.find(p.pid); b != before.end() && elapsed > 0 && p.cpuNs >= b->second) {
      p.cpuPercent = static_cast<double>(p.cpuNs - b->second) * 100.0 / elapsed;
    }
    out.push_back(std::move(p));
  }
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
    } else if (rest[0] == '\x1b') {
      // An unknown sequence: skip it whole, up to its final byte.
      std::size_t end = rest.size() > 1 && (rest[1] == '[' || rest[1] == 'O') ? 2 : 1;
      while (end < rest.size() && end > 1 && !(rest[end] >= 0x40 && rest[end] <= 0x7E)) ++end;
      i += std::min(end + (end > 1 ? 1 : 0), rest.size());
    } else {
      keys.push_back(rest[0] == '\x03' || rest[0] == 'q' ? KeyPress{Key::kQuit, 0}
                                                         : KeyPress{Key::kChar, rest[0]});
      ++i;
    }
  }
  return keys;
}

void TopView::update(std::vector<TopProcess> processes) {
  const auto pid = selectedPid();
  processes_ = std::move(processes);
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

std::optional<TopSignal> TopView::press(KeyPress key) {
  status_.clear();
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
    case Key::kChar:
    case Key::kNone:
      break;
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
    pending_ = TopSignal{g->second.first, g->second.second, processes_[selected_].pid};
  }
  return std::nullopt;
}

std::string TopView::footer(int width) const {
  if (pending_) {
    const TopProcess& p = processes_[selected_];
    return "Send " + pending_->name + " to " + std::to_string(p.pid) + " (" + terminalText(p.name) +
           ")? y/n";
  }
  if (!status_.empty()) return terminalText(status_);
  const std::string help = kKeyHelp;
  return static_cast<int>(help.size()) <= width ? help : "q quit";
}

std::vector<std::string> TopView::render(int width, int height, int* selectedLine) {
  width = std::max(width, 1);
  height = std::max(height, 4);
  double total = 0;
  for (const auto& p : processes_) total += p.cpuPercent;
  char header[160];
  std::snprintf(header, sizeof header, "%zu processes  CPU %.1f%%  sorted by %s%s",
                processes_.size(), total, sortName(sort_), reversed_ ? ", reversed" : "");
  std::vector<std::string> lines = {header};
  char headings[96];
  std::snprintf(headings, sizeof headings, "%7s %-8s %6s %9s %4s %9s %s", "PID", "USER", "CPU%",
                "MEMORY", "THR", "TIME", "NAME");
  lines.push_back(headings);
  // Header, headings, the selected process's path and the footer.
  pageRows_ = static_cast<std::size_t>(height - 4);
  if (selected_ < first_) first_ = selected_;
  if (selected_ >= first_ + pageRows_) first_ = selected_ - pageRows_ + 1;
  first_ = std::min(first_, processes_.size() > pageRows_ ? processes_.size() - pageRows_ : 0);
  *selectedLine = -1;
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

}  // namespace client
