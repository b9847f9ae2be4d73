// The three listings as records with named, typed fields, and their forms
// for people (aligned tables) and for scripts (JSON objects). Pure.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace korvane {

enum class ListingKind { kSystemProcesses, kDetailedProcesses, kProcessData };

enum class FieldType {
  kInteger,   // shown as is
  kBytes,     // shown as 11.3 MiB
  kDuration,  // nanoseconds, shown as h:mm:ss
  kDecimal,   // a fraction such as ps's %CPU
  kText,      // shown with control characters replaced
};

struct FieldSpec {
  const char* name;     // the JSON key and the --sort value
  const char* heading;  // the table's column heading
  FieldType type;
  bool largestFirst;  // how --sort orders it: usage measures put the largest first
};

// A listing's fields in table order.
const std::vector<FieldSpec>& fieldsOf(ListingKind kind);
// The field's index in fieldsOf(kind), or nullopt.
std::optional<std::size_t> fieldIndex(ListingKind kind, const std::string& name);

using FieldValue = std::variant<std::int64_t, double, std::string>;

struct Record {
  std::string raw;  // the element exactly as the daemon sent it
  std::vector<FieldValue> fields;
};

// Parses one listing element; nullopt for one that does not have the
// listing's shape (for the ps listing: its header line). A detailed record's
// path and name may both hold '|': the split taken is the one whose name
// begins the path's last component, else the first.
std::optional<Record> parseRecord(ListingKind kind, const std::string& element);

// The user --user names: its uid, and its login name ("" when it has none).
struct UserId {
  std::int64_t uid = 0;
  std::string name;
  bool operator==(const UserId&) const = default;
};

// What ps's user column shows for `user`: its name, or its uid when it has
// none; a name longer than 8 bytes is cut to 7 and a "+", which other users'
// names may share.
std::string psUserText(const UserId& user);

// What --user and --sort ask for.
struct Selection {
  std::optional<UserId> user;
  std::optional<std::size_t> sortField;
  bool reverse = false;  // the sort field the other way round ("--sort -FIELD")
};

// True when selectRecords needs the uid of each pid for `selection`: in the
// ps listing, for a user whose name ps shows cut.
bool needsUids(ListingKind kind, const Selection& selection);

// The records of the selected user, ordered by pid and then by the sort
// field, if any, in its direction or, with `reverse`, the other. A detailed record is the user's
// when it shows the user's name or uid, a process-data record when it holds the uid, a ps line when
// its user column is psUserText(user) and, where needsUids, `uids` (pid to
// uid) gives its pid the user's uid.
std::vector<Record> selectRecords(ListingKind kind, std::vector<Record> records,
                                  const Selection& selection,
                                  const std::map<std::int64_t, std::int64_t>& uids);

// An aligned table with a header, numbers right-aligned, sizes and CPU time
// for people; each line cut to `width` code points when width > 0.
std::string formatTable(ListingKind kind, const std::vector<Record>& records, int width);

// A JSON array with one object per record (keys as fieldsOf), one per line.
std::string formatJsonRecords(ListingKind kind, const std::vector<Record>& records);

// `json`, valid JSON in UTF-8, with DEL, the C1 controls (U+0080..U+009F) and
// U+2028, U+2029 written as \uXXXX escapes, the same JSON value: `jq -r` or
// a log viewer may send strings on to a terminal, which acts on the controls,
// and JavaScript reads the two separators as line ends. Every JSON output
// passes through here.
std::string escapeJsonControls(const std::string& json);

// 0 -> "0 B", 11821056 -> "11.3 MiB".
std::string humanBytes(std::int64_t bytes);
// Nanoseconds -> "h:mm:ss".
std::string cpuTimeText(std::int64_t nanoseconds);
// `text` for a terminal cell: control characters (C0, DEL, C1) become '?',
// and at most `width` code points are kept (all when width < 0).
std::string terminalText(const std::string& text, int width = -1);
// The number of code points in UTF-8 `text`.
std::size_t displayWidth(const std::string& text);

}  // namespace korvane
