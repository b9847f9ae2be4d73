#include "firewall/pf_conf.h"

namespace firewall {

std::string anchorBlock(std::string_view anchorFile) {
  std::string block = "\n# Korvane Firewall Anchor\nanchor \"";
  block += kAnchorName;
  block += "\"\nload anchor \"";
  block += kAnchorName;
  block += "\" from \"";
  block += anchorFile;
  block += "\"\n";
  return block;
}

std::optional<std::string> withAnchorBlock(std::string_view pfConf, std::string_view anchorFile) {
  if (pfConf.find(kAnchorName) != std::string_view::npos) return std::nullopt;
  std::string text(pfConf);
  text += anchorBlock(anchorFile);
  return text;
}

}  // namespace firewall
