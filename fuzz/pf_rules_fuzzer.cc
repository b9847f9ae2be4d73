// The pf stand-in's rule parser on arbitrary anchor files. Rules it accepts,
// written back in pf's syntax, parse to the same rules; each refused line
// gives one error naming the file and the line.
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
  const auto parsed = pfctl::parseRules({reinterpret_cast<const char*>(data), size}, "anchor");
  for (const std::string& error : parsed.errors) assert(error.starts_with("anchor:"));
  if (!parsed.errors.empty()) return 0;
  const auto again = pfctl::parseRules(print(parsed.rules), "anchor");
  assert(again.errors.empty() && again.rules == parsed.rules);
  pfctl::nftReplaceTableScript("com.korvane.helper.firewall", parsed.rules);
  return 0;
}
