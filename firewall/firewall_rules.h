// The pf rules text of the firewall anchor, built from the four port lists of a
// firewall request (pure functions: no I/O, no state).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/value.h"

namespace firewall {

// One list's port numbers as their decimal texts ("22", "-1", "70000"), in the
// order they arrived: neither sorted, de-duplicated nor limited to 0..65535
// (pfctl judges the range, and its refusal is the reply). Each text is the
// decimal form of an integer; toPortList and portListOf are the only sources.
struct PortList {
  std::vector<std::string> decimals;
  bool operator==(const PortList&) const = default;
};

// A port list from plain numbers.
PortList portListOf(const std::vector<std::int64_t>& ports);

// The outcome of accepting a request's port list: `ports` on success; otherwise
// `ports` is empty and `error` says which element was refused and why.
struct PortListConversion {
  std::optional<PortList> ports;
  std::string error;
};

// Accepts `values` when every element is an integer (any value the wire can
// carry, negative and above 65535 included) and writes each in decimal.
// Any other element (nil, boolean, floating-point even when whole, string,
// binary, array, map) refuses the whole list; `listName` ("inboundTCP", ...)
// names the list in the error, e.g.
// "Invalid port in inboundTCP: element at index 2 is a string, not an integer."
PortListConversion toPortList(const std::vector<common::Value>& values, std::string_view listName);

// The rules text for the four lists, taken in the firewall operation's argument
// order. Lines come in the order inbound TCP, inbound UDP, outbound TCP,
// outbound UDP; each non-empty list gives an IPv4 line directly followed by its
// IPv6 twin, e.g. "block drop in inet proto tcp from any to any port { 22, 80 }\n".
// Every line ends with a line feed; all lists empty give the empty text.
std::string makeFirewallRules(const PortList& inboundTCP, const PortList& outboundTCP,
                              const PortList& inboundUDP, const PortList& outboundUDP);

}  // namespace firewall
