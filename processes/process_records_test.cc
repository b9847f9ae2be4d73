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

}  // namespace
}  // namespace processes
