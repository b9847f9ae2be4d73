#include "firewall/firewall_rules.h"

#include <variant>

namespace firewall {
namespace {

// "a string", "nil", ...: the element kinds a port list can hold besides integers.
std::string kindOf(const common::Value& value) {
  struct Namer {
    std::string operator()(const common::Nil&) const { return "nil"; }
    std::string operator()(bool) const { return "a boolean"; }
    std::string operator()(std::int64_t) const { return "an integer"; }
    std::string operator()(std::uint64_t) const { return "an integer"; }
    std::string operator()(double) const { return "a floating-point number"; }
    std::string operator()(const std::string&) const { return "a string"; }
    std::string operator()(const common::Binary&) const { return "binary data"; }
    std::string operator()(const common::Array&) const { return "an array"; }
    std::string operator()(const common::Map&) const { return "a map"; }
  };
  return std::visit(Namer{}, value.v);
}

void appendRulePair(std::string& rules, const PortList& list, std::string_view ipv4Prefix,
                    std::string_view ipv6Prefix) {
  if (list.decimals.empty()) return;
  std::string ports;
  for (const std::string& decimal : list.decimals) {
    if (!ports.empty()) ports += ", ";
    ports += decimal;
  }
  for (std::string_view prefix : {ipv4Prefix, ipv6Prefix}) {
    rules += prefix;
    rules += ports;
    rules += " }\n";
  }
}

}  // namespace

bool toPortList(const std::vector<common::Value>& values, std::string_view listName,
                PortList* ports, std::string* err) {
  PortList list;
  list.decimals.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::optional<std::string> decimal = values[i].integerText();
    const std::string element =
        "Invalid port in " + std::string(listName) + ": element at index " + std::to_string(i);
    if (!decimal) {
      *err = element + " is " + kindOf(values[i]) + ", not an integer.";
      return false;
    }
    // pfctl refuses such a port in the anchor file, and from then on every
    // load of pf.conf fails with it: refused here, before any file is written.
    const std::optional<std::int64_t> port = values[i].asInt64();
    if (!port || *port < 0 || *port > 65535) {
      *err = element + " is " + *decimal + ", outside 0 to 65535.";
      return false;
    }
    list.decimals.push_back(std::move(*decimal));
  }
  *ports = std::move(list);
  return true;
}

// Each list's rule prefixes, in the order of the lines: the index of the
// list in the argument order, and its IPv4 and IPv6 prefixes.
struct RulePrefixes {
  std::size_t list;
  std::string_view ipv4, ipv6;
};
constexpr RulePrefixes kRulePrefixes[] = {
    {0, "block drop in inet proto tcp from any to any port { ",
     "block drop in inet6 proto tcp from any to any port { "},
    {2, "block drop in inet proto udp from any to any port { ",
     "block drop in inet6 proto udp from any to any port { "},
    {1, "block return out inet proto tcp from any to any port { ",
     "block return out inet6 proto tcp from any to any port { "},
    {3, "block return out inet proto udp from any to any port { ",
     "block return out inet6 proto udp from any to any port { "},
};

std::string makeFirewallRules(const PortList& inboundTCP, const PortList& outboundTCP,
                              const PortList& inboundUDP, const PortList& outboundUDP) {
  const PortList* lists[] = {&inboundTCP, &outboundTCP, &inboundUDP, &outboundUDP};
  std::string rules;
  for (const auto& rule : kRulePrefixes)
    appendRulePair(rules, *lists[rule.list], rule.ipv4, rule.ipv6);
  return rules;
}

std::optional<std::array<PortList, 4>> parseFirewallRules(std::string_view rules) {
  std::array<PortList, 4> lists;
  for (const auto& rule : kRulePrefixes) {
    if (!rules.starts_with(rule.ipv4)) continue;
    const std::size_t end = rules.find(" }\n");
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view ports = rules.substr(rule.ipv4.size(), end - rule.ipv4.size());
    for (std::size_t start = 0;;) {
      const std::size_t comma = ports.find(", ", start);
      const std::string_view port = ports.substr(start, comma - start);
      if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != port.npos) {
        return std::nullopt;
      }
      lists[rule.list].decimals.emplace_back(port);
      if (comma == std::string_view::npos) break;
      start = comma + 2;
    }
    rules.remove_prefix(end + 3);
    if (!rules.starts_with(std::string(rule.ipv6) + std::string(ports) + " }\n")) {
      return std::nullopt;
    }
    rules.remove_prefix(rule.ipv6.size() + ports.size() + 3);
  }
  if (!rules.empty()) return std::nullopt;
  return lists;
}

bool appendAnchorBlock(std::string* pfConf, std::string_view anchorFile) {
  if (pfConf->find(kAnchorName) != std::string::npos) return false;
  const std::string anchor(kAnchorName);
  pfConf->append("\n# Korvane Firewall Anchor\nanchor \"" + anchor + "\"\nload anchor \"" + anchor +
                 "\" from \"");
  pfConf->append(anchorFile).append("\"\n");
  return true;
}

}  // namespace firewall
