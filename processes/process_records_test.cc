#include "processes/process_records.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace processes {
namespace {

TEST(ByteCountText, WritesCountsAsDoublesWithAPoint) {
  struct Case {
    std::uint64_t bytes;
    const char* text;
  };
  const Case cases[] = {
      {0, "0.0"},
      {16384, "16384.0"},
      {1073741824, "1073741824.0"},
      {(std::uint64_t{1} << 53) - 1, "9007199254740991.0"},
      // From 2^53 on, the double rounds: 2^53 + 1 reads back as 2^53.
      {(std::uint64_t{1} << 53) + 1, "9007199254740992.0"},
      {std::numeric_limits<std::uint64_t>::max(), "18446744073709551616.0"},
  };
  for (const auto& c : cases) EXPECT_EQ(byteCountText(c.bytes), c.text) << c.bytes;
}

TEST(DetailedProcessRecord, JoinsSevenFieldsUnescaped) {
  EXPECT_EQ(
      formatDetailedProcessRecord(1, "root", 16384, 1073741824, 3, "/sbin/launchd", "launchd"),
      "1|root|16384.0|1073741824.0|3|/sbin/launchd|launchd");
  EXPECT_EQ(formatDetailedProcessRecord(42, "501", 0, 0, -1, "Unknown", ""),
            "42|501|0.0|0.0|-1|Unknown|");
  EXPECT_EQ(formatDetailedProcessRecord(7, "a|b", 1, 2, 1, "/x|y", "n|m"),
            "7|a|b|1.0|2.0|1|/x|y|n|m");
}

TEST(ProcessDataRecord, JoinsSixPlainIntegersAndTheName) {
  EXPECT_EQ(formatProcessDataRecord(1, 0, 16384, 3, 250, "launchd"), "1|0|16384|3|250|launchd");
  EXPECT_EQ(formatProcessDataRecord(2, 4294967294u, 0, -2, 0, ""), "2|4294967294|0|-2|0|");
  EXPECT_EQ(formatProcessDataRecord(3, 1, 2, 3, std::numeric_limits<std::uint64_t>::max(), "a|b"),
            "3|1|2|3|18446744073709551615|a|b");
}

}  // namespace
}  // namespace processes
