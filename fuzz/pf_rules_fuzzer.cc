// Accepted rules, written back in pf's syntax, parse the same; refusals name the file.
#include <cassert>
#include <cstdint>
#include <string>

#include "tools/pfctl/pf_rules.h"

// The rules in pf's syntax; the word tables follow the order of each enum.
static std::string print(const std::vector<pfctl::Rule>& rules) {
  static const char* const kWords[][2] = {
      {"drop", "return"}, {"in", "out"}, {"inet", "inet6"}, {"tcp", "udp"}};
  std::string text;
  for (const pfctl::Rule& r : rules) {
    text += std::string("block ") + kWords[0][int(r.action)] + " " + kWords[1][int(r.direction)] +
            " " + kWords[2][int(r.family)] + " proto " + kWords[3][int(r.protocol)] +
            " from any to any port {";
    for (std::size_t i = 0; i < r.ports.size(); ++i) {
      text += (i == 0 ? " " : ", ") + std::to_string(r.ports[i]);
    }
    text += " }\n";
  }
  return text;
}

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
