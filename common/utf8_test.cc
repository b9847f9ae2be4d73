#include "common/utf8.h"

#include <gtest/gtest.h>

namespace common {
namespace {

TEST(Utf8, ChecksAndRepairsEachSequence) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  const struct {
    std::string bytes;
    std::string lossy;  // == bytes exactly when they are valid
  } cases[] = {
      {"ab\x80", "ab" + r},                 // stray continuation byte
      {"\xC0\xAF", r + r},                  // overlong two-byte form
      {"\xE0\x80\xAF", r + r + r},          // overlong three-byte form
      {"\xF0\x80\x80\xAF", r + r + r + r},  // overlong four-byte form
      {"\xED\xA0\x80", r + r + r},          // a surrogate, U+D800
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"\xE2\x80", r},                      // truncated at the end
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isValidUtf8(c.bytes), c.bytes == c.lossy) << testing::PrintToString(c.bytes);
    EXPECT_EQ(decodeUtf8Lossy(c.bytes), c.lossy) << testing::PrintToString(c.bytes);
  }
}

}  // namespace
}  // namespace common
