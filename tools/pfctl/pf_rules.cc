#include "tools/pfctl/pf_rules.h"

#include <charconv>

namespace pfctl {
namespace {

// Splits one line into words; "{", "}" and "," are words of their own, blanks
// separate, and (with `quotes`) "..." is one word without its quotes and "#"
// outside quotes ends the line. nullopt for an unterminated quote.
std::optional<std::vector<std::string>> words(std::string_view line, bool quotes) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
    } else if (c == '{' || c == '}' || c == ',') {
      out.emplace_back(1, c);
      ++i;
    } else if (quotes && c == '#') {
      break;
    } else if (quotes && c == '"') {
      std::size_t end = line.find('"', i + 1);
      if (end == std::string_view::npos) return std::nullopt;
      out.emplace_back(line.substr(i + 1, end - i - 1));
      i = end + 1;
    } else {
      std::size_t end = i;
      while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r' &&
             line[end] != '{' && line[end] != '}' && line[end] != ',' &&
             !(quotes && (line[end] == '#' || line[end] == '"'))) {
        ++end;
      }
      out.emplace_back(line.substr(i, end - i));
      i = end;
    }
  }
  return out;
}

// Calls `visit(lineNumber, line)` for each line of `text` (the last one may
// lack its line feed).
template <typename Visit>
void forEachLine(std::string_view text, Visit visit) {
  int number = 0;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    visit(++number, line);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

template <typename T>
bool pick(const std::string& word, std::initializer_list<std::pair<const char*, T>> choices,
          T& out) {
  for (const auto& [text, value] : choices) {
    if (word == text) {
      out = value;
      return true;
    }
  }
  return false;
}

// Parses one rule into `*out`; on failure returns false with `*err` the reason
// ("syntax error", "illegal port value N").
bool parseRule(const std::vector<std::string>& w, Rule* out, std::string* err) {
  *err = "syntax error";
  Rule rule{};
  if (w.size() < 14 || w[0] != "block" ||
      !pick(w[1], {{"drop", Action::kDrop}, {"return", Action::kReturn}}, rule.action) ||
      !pick(w[2], {{"in", Direction::kIn}, {"out", Direction::kOut}}, rule.direction) ||
      !pick(w[3], {{"inet", Family::kInet}, {"inet6", Family::kInet6}}, rule.family) ||
      w[4] != "proto" ||
      !pick(w[5], {{"tcp", Protocol::kTcp}, {"udp", Protocol::kUdp}}, rule.protocol) ||
      w[6] != "from" || w[7] != "any" || w[8] != "to" || w[9] != "any" || w[10] != "port" ||
      w[11] != "{" || w.back() != "}") {
    return false;
  }
  // Between the braces: PORT, then ", PORT" any number of times.
  for (std::size_t i = 12; i + 1 < w.size(); ++i) {
    const std::string& word = w[i];
    if ((i - 12) % 2 == 1) {
      if (word != ",") return false;
      continue;
    }
    std::size_t digits = word.size() > 1 && word[0] == '-' ? 1 : 0;
    if (word.size() == digits ||
        word.find_first_not_of("0123456789", digits) != std::string::npos) {
      return false;
    }
    std::int64_t value = 0;
    auto [end, status] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (status != std::errc() || value < 0 || value > 65535) {
      *err = "illegal port value " + word;
      return false;
    }
    rule.ports.push_back(static_cast<std::uint16_t>(value));
  }
  // An even count of words between the braces means a dangling ",".
  if ((w.size() - 13) % 2 == 0) return false;
  *out = std::move(rule);
  return true;
}

// Adds "FILE:LINE: REASON" as a line of its own to `*err`.
void addFault(std::string* err, std::string_view fileName, int line, std::string_view reason) {
  if (!err->empty()) err->push_back('\n');
  err->append(fileName).append(1, ':').append(std::to_string(line)).append(": ").append(reason);
}

std::string nftRule(const Rule& rule) {
  std::string text = rule.family == Family::kInet ? "meta nfproto ipv4 " : "meta nfproto ipv6 ";
  text += rule.protocol == Protocol::kTcp ? "tcp dport { " : "udp dport { ";
  for (std::size_t i = 0; i < rule.ports.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(rule.ports[i]);
  }
  text += " } ";
  if (rule.action == Action::kDrop) {
    text += "drop";
  } else {
    // pf's "return": a reset for TCP, ICMP port unreachable for UDP.
    text += rule.protocol == Protocol::kTcp ? "reject with tcp reset"
                                            : "reject with icmpx type port-unreachable";
  }
  return text;
}

}  // namespace

bool parseRules(std::string_view text, std::string_view fileName, std::vector<Rule>* rules,
                std::string* err) {
  rules->clear();
  err->clear();
  forEachLine(text, [&](int number, std::string_view line) {
    std::optional<std::vector<std::string>> w = words(line, false);
    if (w->empty() || (*w)[0][0] == '#') return;
    Rule rule;
    std::string reason;
    if (parseRule(*w, &rule, &reason)) {
      rules->push_back(std::move(rule));
    } else {
      addFault(err, fileName, number, reason);
    }
  });
  return err->empty();
}

bool parseAnchorLoads(std::string_view text, std::string_view fileName,
                      std::vector<AnchorLoad>* loads, std::string* err) {
  loads->clear();
  err->clear();
  forEachLine(text, [&](int number, std::string_view line) {
    std::optional<std::vector<std::string>> w = words(line, true);
    if (w && (w->size() < 2 || (*w)[0] != "load" || (*w)[1] != "anchor")) return;
    if (w && w->size() == 5 && (*w)[3] == "from" && !(*w)[2].empty() && !(*w)[4].empty()) {
      loads->push_back({(*w)[2], (*w)[4], number});
    } else {
      addFault(err, fileName, number, "syntax error");
    }
  });
  return err->empty();
}

bool isValidAnchorName(std::string_view anchor) {
  auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (anchor.empty() || !letter(anchor[0])) return false;
  for (char c : anchor) {
    if (!letter(c) && !(c >= '0' && c <= '9') && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}

std::string nftReplaceTableScript(std::string_view anchor, const std::vector<Rule>& rules) {
  const std::string table = "table inet " + std::string(anchor);
  std::string script = table + "\ndelete " + table + "\n" + table + " {\n";
  for (Direction direction : {Direction::kIn, Direction::kOut}) {
    const char* hook = direction == Direction::kIn ? "input" : "output";
    script += std::string("\tchain ") + hook + " {\n\t\ttype filter hook " + hook +
              " priority filter; policy accept;\n";
    for (const Rule& rule : rules) {
      if (rule.direction == direction) script += "\t\t" + nftRule(rule) + "\n";
    }
    script += "\t}\n";
  }
  script += "}\n";
  return script;
}

std::optional<Command> parseCommand(const std::vector<std::string>& a) {
  using Kind = Command::Kind;
  if (a.size() == 1 && a[0] == "-E") return Command{Kind::kEnable, "", ""};
  if (a.size() == 2 && a[0] == "-f") return Command{Kind::kReloadConfig, "", a[1]};
  if (a.size() == 4 && a[0] == "-a" && a[2] == "-F" && a[3] == "all") {
    return Command{Kind::kFlushAnchor, a[1], ""};
  }
  if (a.size() == 4 && a[0] == "-a" && a[2] == "-f") return Command{Kind::kLoadAnchor, a[1], a[3]};
  return std::nullopt;
}

}  // namespace pfctl
