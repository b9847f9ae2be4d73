// The firewall anchor's name and the block that hooks it into the pf
// configuration (pure functions).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace firewall {

inline constexpr std::string_view kAnchorName = "com.korvane.helper.firewall";

// "\n# Korvane Firewall Anchor\nanchor \"<kAnchorName>\"\n"
// "load anchor \"<kAnchorName>\" from \"<anchorFile>\"\n".
std::string anchorBlock(std::string_view anchorFile);

// The pf configuration `pfConf` with anchorBlock(anchorFile) appended (nothing
// else added), or nullopt when `pfConf` already holds kAnchorName anywhere, as
// a plain case-sensitive substring (a comment or a longer word counts too) and
// so must stay as it is.
std::optional<std::string> withAnchorBlock(std::string_view pfConf, std::string_view anchorFile);

}  // namespace firewall
