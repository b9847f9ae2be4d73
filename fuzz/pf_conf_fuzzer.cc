// The pf.conf edit on arbitrary configurations: the anchor block is added only
// where the anchor is not mentioned, so a second edit changes nothing, and the
// pf stand-in reads the edited file as before plus exactly one new load line.
#include <algorithm>
#include <cassert>
#include <cstdint>
#include <string>

#include "firewall/firewall.h"
#include "tools/pfctl/pf_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string file = firewall::FirewallPaths{}.anchorFile();
  const std::string_view conf(reinterpret_cast<const char*>(data), size);
  const auto edited = firewall::withAnchorBlock(conf, file);
  assert(edited.has_value() == (conf.find(firewall::kAnchorName) == std::string_view::npos));
  if (!edited) return 0;
  assert(edited->starts_with(conf) && !firewall::withAnchorBlock(*edited, file));

  auto before = pfctl::parseAnchorLoads(conf, "pf.conf");
  const auto after = pfctl::parseAnchorLoads(*edited, "pf.conf");
  const int line = static_cast<int>(std::count(conf.begin(), conf.end(), '\n')) + 4;
  before.loads.push_back({std::string(firewall::kAnchorName), file, line});
  assert(after.errors == before.errors && after.loads == before.loads);
  return 0;
}
