// The pf stand-in's rule parser on arbitrary anchor files. Rules it accepts,
// written back in pf's syntax, parse to the same rules; each refused line
// gives an error naming the file and the line.
#include <cassert>
#include <cstdint>
#include <string>

#include "tools/pfctl/pf_rules.h"

namespace {

std::string print(const std::vector<pfctl::Rule>& rules) {
  using namespace pfctl;
  std::string text;
  for (const Rule& r : rules) {
    text += r.action == Action::kDrop ? "block drop " : "block return ";
    text += r.direction == Direction::kIn ? "in " : "out ";
    text += r.family == Family::kInet ? "inet " : "inet6 ";
    text += r.protocol == Protocol::kTcp ? "proto tcp" : "proto udp";
    text += " from any to any port {";
    for (std::size_t i = 0; i < r.ports.size(); ++i) {
      text += (i == 0 ? " " : ", ") + std::to_string(r.ports[i]);
    }
    text += " }\n";
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<pfctl::Rule> rules, again;
  std::string err;
  if (!pfctl::parseRules({reinterpret_cast<const char*>(data), size}, "anchor", &rules, &err)) {
    assert(err.starts_with("anchor:"));
    return 0;
  }
  assert(pfctl::parseRules(print(rules), "anchor", &again, &err) && again == rules);
  pfctl::nftReplaceTableScript("com.korvane.helper.firewall", rules);
  return 0;
}
