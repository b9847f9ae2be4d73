// The pf stand-in's understanding of pf: the rule lines of the firewall
// anchor, the `load anchor` lines of pf.conf, and their translation into one
// nftables transaction per load (pure functions: no I/O).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pfctl {

enum class Action { kDrop, kReturn };
enum class Direction { kIn, kOut };
enum class Family { kInet, kInet6 };
enum class Protocol { kTcp, kUdp };

// "block <drop|return> <in|out> <inet|inet6> proto <tcp|udp> from any to any
// port { P, ... }": blocks packets whose destination port is one of `ports`.
struct Rule {
  Action action;
  Direction direction;
  Family family;
  Protocol protocol;
  std::vector<std::uint16_t> ports;
  bool operator==(const Rule&) const = default;
};

// Parses `text`, the content of the rules file `fileName`, into `*rules`, in
// file order. Blank lines and lines starting with "#" are skipped; every
// other line must be a rule as above, with ports in 0..65535 (tokens may be
// separated by any blanks). False when a line is not, with `*err` holding one
// pfctl-style line per fault, joined by line feeds ("FILE:LINE: syntax
// error", "FILE:LINE: illegal port value 70000").
bool parseRules(std::string_view text, std::string_view fileName, std::vector<Rule>* rules,
                std::string* err);

// One `load anchor "NAME" from "FILE"` line of a pf configuration.
struct AnchorLoad {
  std::string anchor;
  std::string file;
  int line = 0;  // 1-based line in the configuration
  bool operator==(const AnchorLoad&) const = default;
};

// The `load anchor` lines of the pf configuration `text`, in order, into
// `*loads`. Names and files may be quoted ("...") or bare; "#" starts a
// comment outside quotes. Every other line is ignored: the stand-in manages
// anchors only. A `load anchor` line of another shape, and an unterminated
// quote on any line, are faults: false, with `*err` as for parseRules
// (`fileName` names the file) and the well-formed lines still in `*loads`.
bool parseAnchorLoads(std::string_view text, std::string_view fileName,
                      std::vector<AnchorLoad>* loads, std::string* err);

// True for names the stand-in can map to an nftables table of the same name:
// a letter, then letters, digits, ".", "_" or "-".
bool isValidAnchorName(std::string_view anchor);

// An nft script that replaces the inet table `anchor` (a valid anchor name)
// with one holding `rules`, in one transaction when given to `nft -f`: it
// declares the table (so the delete cannot fail), deletes it, and creates it
// anew with an input and an output chain (policy accept) holding the rules in
// order. No rules give empty chains.
std::string nftReplaceTableScript(std::string_view anchor, const std::vector<Rule>& rules);

// The four invocations the stand-in understands.
struct Command {
  enum class Kind { kFlushAnchor, kReloadConfig, kLoadAnchor, kEnable };
  Kind kind;
  std::string anchor;  // kFlushAnchor, kLoadAnchor
  std::string file;    // kReloadConfig, kLoadAnchor
  bool operator==(const Command&) const = default;
};

// `arguments` without the program name: "-a NAME -F all", "-f FILE",
// "-a NAME -f FILE" or "-E", exactly. nullopt for anything else.
std::optional<Command> parseCommand(const std::vector<std::string>& arguments);

}  // namespace pfctl
