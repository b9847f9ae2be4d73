// Runs the nft command of nftables. The stand-in drives nft as a separate
// program and never links libnftables.
#pragma once

#include <string>
#include <string_view>

namespace pfctl {

// The nft executable: $KORVANE_NFT when set and not empty, else "/usr/sbin/nft".
std::string nftPath();

// Runs `nft -f -` at `nft` with `script` on its standard input; nft's own
// output and diagnostics go to the stand-in's standard output and error.
// Returns true when nft exited with 0 (the whole script applied, as one
// transaction); otherwise false with `*err` describing a failure to run it
// (empty when nft ran and refused the script, having said why itself).
bool runNftScript(const std::string& nft, std::string_view script, std::string* err);

}  // namespace pfctl
