// The anchor block is added once, only where not mentioned, and reads as one more load.
#include <algorithm>
#include <cassert>
#include <cstdint>
#include <string>

#include "firewall/firewall.h"
#include "tools/pfctl/pf_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string file = firewall::FirewallPaths{}.anchorFile();
  const std::string conf(reinterpret_cast<const char*>(data), size);
  std::string edited = conf;
  const bool appended = firewall::appendAnchorBlock(&edited, file);
  assert(appended == (conf.find(firewall::kAnchorName) == std::string::npos));
  assert(appended || edited == conf);
  if (!appended) return 0;
  assert(edited.starts_with(conf) && !firewall::appendAnchorBlock(&edited, file));

  std::vector<pfctl::AnchorLoad> before, after;
  std::string errBefore, errAfter;
  pfctl::parseAnchorLoads(conf, "pf.conf", &before, &errBefore);
  pfctl::parseAnchorLoads(edited, "pf.conf", &after, &errAfter);
  const int line = static_cast<int>(std::count(conf.begin(), conf.end(), '\n')) + 4;
  before.push_back({std::string(firewall::kAnchorName), file, line});
  assert(errAfter == errBefore && after == before);
  return 0;
}
