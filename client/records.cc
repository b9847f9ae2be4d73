#include "client/records.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "common/decimal.h"
#include "common/utf8.h"

namespace korvane {
namespace {

using Type = FieldType;

// A byte count as the detailed listing writes it: "16384.0".
std::optional<std::int64_t> parseByteCount(std::string_view s) {
  const std::size_t point = s.find('.');
  if (point != std::string_view::npos &&
      s.find_first_not_of("0123456789", point + 1) != std::string_view::npos) {
    return std::nullopt;
  }
  return common::parseDecimal<std::int64_t>(s.substr(0, point));
}

// The first `n` '|'-separated fields of `s`, then the rest; nullopt when
// there are fewer.
std::optional<std::vector<std::string>> splitBars(const std::string& s, std::size_t n) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t bar = s.find('|', start);
    if (bar == std::string::npos) return std::nullopt;
    out.push_back(s.substr(start, bar - start));
    start = bar + 1;
  }
  out.push_back(s.substr(start));
  return out;
}

// "path|name" where either may hold '|' (see parseRecord).
std::pair<std::string, std::string> splitPathAndName(const std::string& rest) {
  std::size_t chosen = rest.find('|');
  for (std::size_t bar = chosen; bar != std::string::npos; bar = rest.find('|', bar + 1)) {
    const std::string_view path(rest.data(), bar), name(rest.data() + bar + 1);
    const std::string_view base = path.substr(path.rfind('/') + 1);
    if (!name.empty() && base.starts_with(name)) {
      chosen = bar;
      break;
    }
  }
  return {rest.substr(0, chosen), rest.substr(chosen + 1)};
}

std::optional<Record> parseBarRecord(ListingKind kind, const std::string& element) {
  const bool detailed = kind == ListingKind::kDetailedProcesses;
  auto f = splitBars(element, 5);
  if (!f) return std::nullopt;
  auto pid = common::parseDecimal<std::int64_t>((*f)[0]);
  auto second = common::parseDecimal<std::int64_t>((*f)[1]);  // process data: the uid
  auto resident = detailed ? parseByteCount((*f)[2]) : common::parseDecimal<std::int64_t>((*f)[2]);
  auto fourth = detailed ? parseByteCount((*f)[3]) : common::parseDecimal<std::int64_t>((*f)[3]);
  auto fifth = common::parseDecimal<std::int64_t>((*f)[4]);
  if (!pid || !resident || !fourth || !fifth || (!detailed && !second)) return std::nullopt;
  if (!detailed) return Record{element, {*pid, *second, *resident, *fourth, *fifth, (*f)[5]}};
  auto [path, name] = splitPathAndName((*f)[5]);
  return Record{element, {*pid, (*f)[1], *resident, *fourth, *fifth, name, path}};
}

// "USER PID %CPU COMMAND" as ps aligns it; the command may hold spaces.
std::optional<Record> parsePsLine(const std::string& line) {
  std::vector<std::string> words;
  std::size_t i = 0;
  for (int n = 0; n < 3; ++n) {
    const std::size_t start = line.find_first_not_of(' ', i);
    if (start == std::string::npos) return std::nullopt;
    i = std::min(line.find(' ', start), line.size());
    words.push_back(line.substr(start, i - start));
  }
  const std::size_t command = line.find_first_not_of(' ', i);
  auto pid = common::parseDecimal<std::int64_t>(words[1]);
  double cpu = 0;
  auto [p, ec] = std::from_chars(words[2].data(), words[2].data() + words[2].size(), cpu);
  if (!pid || command == std::string::npos || ec != std::errc() ||
      p != words[2].data() + words[2].size()) {
    return std::nullopt;
  }
  return Record{line, {*pid, words[0], cpu, line.substr(command)}};
}

std::string cellText(const FieldSpec& field, const FieldValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) return terminalText(*text);
  if (const auto* d = std::get_if<double>(&value)) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", *d);
    return buf;
  }
  const std::int64_t n = std::get<std::int64_t>(value);
  if (field.type == Type::kBytes) return humanBytes(n);
  if (field.type == Type::kDuration) return cpuTimeText(n);
  return std::to_string(n);
}

}  // namespace

const std::vector<FieldSpec>& fieldsOf(ListingKind kind) {
  static const std::vector<FieldSpec> kSystem = {
      {"pid", "PID", Type::kInteger, false},
      {"user", "USER", Type::kText, false},
      {"cpu", "%CPU", Type::kDecimal, true},
      {"command", "COMMAND", Type::kText, false},
  };
  static const std::vector<FieldSpec> kDetailed = {
      {"pid", "PID", Type::kInteger, false},        {"user", "USER", Type::kText, false},
      {"resident", "RESIDENT", Type::kBytes, true}, {"virtual", "VIRTUAL", Type::kBytes, true},
      {"threads", "THREADS", Type::kInteger, true}, {"name", "NAME", Type::kText, false},
      {"path", "PATH", Type::kText, false},
  };
  static const std::vector<FieldSpec> kData = {
      {"pid", "PID", Type::kInteger, false},         {"uid", "UID", Type::kInteger, false},
      {"resident", "RESIDENT", Type::kBytes, true},  {"threads", "THREADS", Type::kInteger, true},
      {"cpu_ns", "CPU-TIME", Type::kDuration, true}, {"name", "NAME", Type::kText, false},
  };
  switch (kind) {
    case ListingKind::kSystemProcesses:
      return kSystem;
    case ListingKind::kDetailedProcesses:
      return kDetailed;
    case ListingKind::kProcessData:
      break;
  }
  return kData;
}

std::optional<std::size_t> fieldIndex(ListingKind kind, const std::string& name) {
  const auto& fields = fieldsOf(kind);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (name == fields[i].name) return i;
  }
  return std::nullopt;
}

std::optional<Record> parseRecord(ListingKind kind, const std::string& element) {
  if (kind == ListingKind::kSystemProcesses) return parsePsLine(element);
  return parseBarRecord(kind, element);
}

std::string psUserText(const UserId& user) {
  if (user.name.empty()) return std::to_string(user.uid);
  return user.name.size() <= 8 ? user.name : user.name.substr(0, 7) + "+";
}

bool needsUids(ListingKind kind, const Selection& selection) {
  return kind == ListingKind::kSystemProcesses && selection.user && selection.user->name.size() > 8;
}

std::vector<Record> selectRecords(ListingKind kind, std::vector<Record> records,
                                  const Selection& selection,
                                  const std::map<std::int64_t, std::int64_t>& uids) {
  if (const auto& user = selection.user) {
    const std::string uid = std::to_string(user->uid), shown = psUserText(*user);
    const bool byUid = needsUids(kind, selection);
    std::erase_if(records, [&](const Record& r) {
      const std::int64_t pid = std::get<std::int64_t>(r.fields[0]);
      if (kind == ListingKind::kProcessData)
        return std::get<std::int64_t>(r.fields[1]) != user->uid;
      const auto& text = std::get<std::string>(r.fields[1]);
      if (kind == ListingKind::kDetailedProcesses)
        return text != uid && (text.empty() || text != user->name);
      const auto owner = uids.find(pid);
      return text != shown || (byUid && (owner == uids.end() || owner->second != user->uid));
    });
  }
  const std::size_t pid = *fieldIndex(kind, "pid");
  auto by = [](std::size_t field, bool largestFirst) {
    return [=](const Record& a, const Record& b) {
      return largestFirst ? b.fields[field] < a.fields[field] : a.fields[field] < b.fields[field];
    };
  };
  std::stable_sort(records.begin(), records.end(), by(pid, false));
  if (selection.sortField) {
    const std::size_t f = *selection.sortField;
    std::stable_sort(records.begin(), records.end(),
                     by(f, fieldsOf(kind)[f].largestFirst != selection.reverse));
  }
  return records;
}

std::string formatTable(ListingKind kind, const std::vector<Record>& records, int width) {
  const auto& fields = fieldsOf(kind);
  std::vector<std::vector<std::string>> rows(1);
  std::vector<std::size_t> widths;
  for (const auto& f : fields) {
    rows[0].push_back(f.heading);
    widths.push_back(displayWidth(f.heading));
  }
  for (const auto& r : records) {
    auto& row = rows.emplace_back();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      row.push_back(cellText(fields[i], r.fields[i]));
      widths[i] = std::max(widths[i], displayWidth(row.back()));
    }
  }
  std::string out;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      const std::string pad(widths[i] - displayWidth(row[i]), ' ');
      const bool last = i + 1 == row.size();
      if (i > 0) line += ' ';
      line += fields[i].type == Type::kText ? row[i] + (last ? "" : pad) : pad + row[i];
    }
    out += (width > 0 ? terminalText(line, width) : line) + '\n';
  }
  return out;
}

std::string formatJsonRecords(ListingKind kind, const std::vector<Record>& records) {
  const auto& fields = fieldsOf(kind);
  std::string out = "[";
  for (const auto& r : records) {
    nlohmann::ordered_json object;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      std::visit([&](const auto& v) { object[fields[i].name] = v; }, r.fields[i]);
    }
    out += (out.size() > 1 ? ",\n" : "\n") +
           object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  return escapeJsonControls(out + (records.empty() ? "]\n" : "\n]\n"));
}

std::string escapeJsonControls(const std::string& json) {
  // In valid UTF-8, 0xC2 and 0xE2 only lead a sequence, and outside strings
  // JSON is ASCII: each match is one whole code point inside a string.
  std::string out;
  char buf[8];
  for (std::size_t i = 0; i < json.size(); ++i) {
    const auto at = [&](std::size_t k) {
      return i + k < json.size() ? static_cast<unsigned char>(json[i + k]) : 0U;
    };
    unsigned point = 0;
    if (at(0) == 0x7F) {
      point = 0x7F;
    } else if (at(0) == 0xC2 && at(1) >= 0x80 && at(1) <= 0x9F) {
      point = at(1);
      i += 1;
    } else if (at(0) == 0xE2 && at(1) == 0x80 && (at(2) == 0xA8 || at(2) == 0xA9)) {
      point = at(2) == 0xA8 ? 0x2028 : 0x2029;
      i += 2;
    } else {
      out.push_back(json[i]);
      continue;
    }
    std::snprintf(buf, sizeof buf, "\\u%04x", point);
    out += buf;
  }
  return out;
}

std::string humanBytes(std::int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double v = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (v >= 1024 && unit + 1 < std::size(kUnits)) {
    v /= 1024;
    ++unit;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[unit]);
  return buf;
}

std::string cpuTimeText(std::int64_t nanoseconds) {
  const long long s = std::max<std::int64_t>(nanoseconds, 0) / 1000000000;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  return buf;
}

std::string terminalText(const std::string& text, int width) {
  const std::string valid = common::decodeUtf8Lossy(text);
  std::string out;
  int points = 0;
  for (std::size_t i = 0; i < valid.size(); ++i) {
    const unsigned char c = valid[i];
    if ((c & 0xC0) == 0x80) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    if (width >= 0 && points == width) break;
    ++points;
    // C1 controls (U+0080..U+009F, "\xC2\x80".."\xC2\x9F") act as escapes on
    // some terminals, as C0 ones do on all.
    const bool c1 =
        c == 0xC2 && i + 1 < valid.size() && static_cast<unsigned char>(valid[i + 1]) < 0xA0;
    if (c < 0x20 || c == 0x7F || c1) {
      out.push_back('?');
      i += c1 ? 1 : 0;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

std::size_t displayWidth(const std::string& text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

}  // namespace korvane
