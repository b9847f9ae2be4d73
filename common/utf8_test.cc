#include "common/utf8.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

namespace common {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Utf8, AcceptsWellFormedText) {
  for (const std::string& s : std::initializer_list<std::string>{
           "", "plain ascii", "caf\xC3\xA9", "\xE2\x80\xA8", "\xF0\x9F\x9A\xA8", "\xF4\x8F\xBF\xBF",
           std::string("nul\0inside", 10)}) {
    EXPECT_TRUE(isValidUtf8(s)) << s;
    EXPECT_EQ(decodeUtf8Lossy(s), s);
  }
}

TEST(Utf8, RejectsIllFormedText) {
  struct Case {
    std::string bytes;
    std::string lossy;
  };
  const Case cases[] = {
      {"\xFF", kFffd},
      {"ab\x80", "ab" + kFffd},                             // stray continuation byte
      {"\xC0\xAF", kFffd + kFffd},                          // overlong two-byte form
      {"\xE0\x80\xAF", kFffd + kFffd + kFffd},              // overlong three-byte form
      {"\xF0\x80\x80\xAF", kFffd + kFffd + kFffd + kFffd},  // overlong four-byte form
      {"\xED\xA0\x80", kFffd + kFffd + kFffd},              // a surrogate, U+D800
      {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},  // above U+10FFFF
      {"\xE2\x80", kFffd},                                  // truncated at the end
      {"\xE2\x80x", kFffd + "x"},                           // truncated before ASCII
      {"\xF0\x9F\x9A", kFffd},                              // truncated four-byte form
      {"a\xC3(b", "a" + kFffd + "(b"},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(isValidUtf8(c.bytes)) << testing::PrintToString(c.bytes);
    EXPECT_EQ(decodeUtf8Lossy(c.bytes), c.lossy) << testing::PrintToString(c.bytes);
  }
}

}  // namespace
}  // namespace common
