// The pf text of the firewall: the anchor's rules, built from the four port
// lists of a request, and the block that hooks the anchor into the pf
// configuration (pure functions: no I/O, no state).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/value.h"

namespace firewall {

inline constexpr std::string_view kAnchorName = "com.korvane.helper.firewall";
// Where the anchor's rules file lives on a system, as kAnchorName (readable
// by everyone).
inline constexpr std::string_view kAnchorFolder = "/etc/pf.anchors";

// One list's port numbers as their decimal texts ("22", "443"), in the order
// they arrived: neither sorted nor de-duplicated.
struct PortList {
  std::vector<std::string> decimals;
  bool operator==(const PortList&) const = default;
};

// Accepts `values` when every element is an integer from 0 to 65535 and
// writes each in decimal to `*ports`. Any other element (an integer out of
// that range, nil, boolean, floating-point even when whole, string, binary,
// array, map) refuses the whole list: false, with `*err` naming the list
// (`listName`, e.g. "inboundTCP"), the element and why, e.g.
// "Invalid port in inboundTCP: element at index 2 is a string, not an integer."
// "Invalid port in inboundTCP: element at index 0 is 70000, outside 0 to 65535."
bool toPortList(const std::vector<common::Value>& values, std::string_view listName,
                PortList* ports, std::string* err);

// The rules text for the four lists, taken in the firewall operation's argument
// order. Lines come in the order inbound TCP, inbound UDP, outbound TCP,
// outbound UDP; each non-empty list gives an IPv4 line directly followed by its
// IPv6 twin, e.g. "block drop in inet proto tcp from any to any port { 22, 80 }\n".
// Every line ends with a line feed; all lists empty give the empty text.
std::string makeFirewallRules(const PortList& inboundTCP, const PortList& outboundTCP,
                              const PortList& inboundUDP, const PortList& outboundUDP);

// The four lists, in the firewall operation's argument order, of a rules text
// makeFirewallRules() wrote (for those who may read the anchor file but not
// ask pf); nullopt for any other text. The IPv6 lines must twin the IPv4 ones.
std::optional<std::array<PortList, 4>> parseFirewallRules(std::string_view rules);

// Appends the anchor block
//   "\n# Korvane Firewall Anchor\nanchor \"<kAnchorName>\"\n"
//   "load anchor \"<kAnchorName>\" from \"<anchorFile>\"\n"
// to the pf configuration `*pfConf` (nothing else added) and returns true;
// returns false, leaving it as it is, when it already holds kAnchorName
// anywhere, as a plain case-sensitive substring (a comment or a longer word
// counts too).
bool appendAnchorBlock(std::string* pfConf, std::string_view anchorFile);

}  // namespace firewall
