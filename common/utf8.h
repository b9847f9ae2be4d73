// UTF-8 checks and lossy decoding (pure functions).
#pragma once

#include <string>
#include <string_view>

namespace common {

// True when `bytes` is well-formed UTF-8: no overlong forms, no surrogates
// (U+D800..U+DFFF), nothing above U+10FFFF, no truncated sequence.
bool isValidUtf8(std::string_view bytes);

// `bytes` with every ill-formed sequence replaced by U+FFFD, one replacement
// per maximal subpart (the practice the Unicode standard recommends). Never
// fails; valid input comes back unchanged.
std::string decodeUtf8Lossy(std::string_view bytes);

}  // namespace common
