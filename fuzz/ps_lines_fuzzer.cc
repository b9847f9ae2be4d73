// The UTF-8 check and ps line splitter agree with a reference decoder; lossy output is
// well-formed and leaves well-formed input unchanged.
#include <cassert>
#include <cstdint>
#include <optional>
#include <string>

#include "common/utf8.h"
#include "processes/system_processes.h"

// The lines of `s` split at the seven line separators, or nullopt when `s`
// is not UTF-8 (overlong, surrogate, above U+10FFFF, stray or short).
static std::optional<korvane::Listing> referenceLines(std::string_view s) {
  static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  korvane::Listing lines(1);
  for (std::size_t i = 0; i < s.size();) {
    const auto lead = static_cast<std::uint8_t>(s[i]);
    const int more = lead < 0x80 ? 0 : lead < 0xC0 ? -1 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
    if (more < 0 || lead >= 0xF8 || s.size() - i <= static_cast<std::size_t>(more)) return {};
    std::uint32_t cp = more == 0 ? lead : lead & (0x3Fu >> more);
    for (int k = 1; k <= more; ++k) {
      const auto b = static_cast<std::uint8_t>(s[i + k]);
      if ((b & 0xC0) != 0x80) return {};
      cp = cp << 6 | (b & 0x3Fu);
    }
    if (cp < kMin[more] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {};
    const bool separator = (cp >= 0x0A && cp <= 0x0D) || cp == 0x85 || cp == 0x2028 || cp == 0x2029;
    if (!separator) {
      lines.back().append(s.substr(i, more + 1));
    } else if (!lines.back().empty()) {
      lines.emplace_back();
    }
    i += more + 1;
  }
  if (lines.back().empty()) lines.pop_back();
  return lines;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto expected = referenceLines(bytes);
  assert(common::isValidUtf8(bytes) == expected.has_value());
  assert(processes::splitOutputLines(bytes) == expected);
  const std::string lossy = common::decodeUtf8Lossy(bytes);
  assert(common::isValidUtf8(lossy));
  assert(!expected || lossy == bytes);
  return 0;
}
