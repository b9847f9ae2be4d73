#include "transport/msgpack.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>

#include "common/big_endian.h"

namespace transport::msgpack {
namespace {

// Bytes held through operator new, and their peak.
std::atomic<std::size_t> held{0}, peak{0};

using common::Array;
using common::Binary;
using common::Map;
using common::Nil;
using common::Value;

using namespace std::string_literals;

// A 1 MiB frame of array headers each claiming every byte left would reserve
// ~700 MB without the value budget.
TEST(Msgpack, EncodesSmallestDecodesEveryFormAndRefusesTheRestWithinAFewMebibytes) {
  std::vector<std::pair<std::string, std::optional<Value>>> cases;
  // clang-format off
  const std::pair<Value, std::string> encodings[] = {
      {Value(Nil{}), "\xc0"s}, {Value(false), "\xc2"s}, {Value(true), "\xc3"s}, {Value(0), "\x00"s},
      {Value(127), "\x7f"s}, {Value(128), "\xcc\x80"s}, {Value(65536), "\xce\x00\x01\x00\x00"s},
      {Value(-1), "\xff"s}, {Value(-32), "\xe0"s}, {Value(-33), "\xd0\xdf"s}, {Value(""), "\xa0"s},
      {Value(1.5), "\xcb\x3f\xf8\0\0\0\0\0\0"s}, {Value("abc"), "\xa3\x61\x62\x63"s},
      {Value(std::numeric_limits<std::int64_t>::min()), "\xd3\x80\0\0\0\0\0\0\0"s},
      {Value(std::numeric_limits<std::uint64_t>::max()), "\xcf\xff\xff\xff\xff\xff\xff\xff\xff"s},
      {Value(std::string(32, 'x')), "\xd9\x20"s + std::string(32, 'x')},
      {Value(Array{Value(1), Value(Nil{})}), "\x92\x01\xc0"s},
      {Value(Map{{Value("k"), Value(true)}}), "\x81\xa1k\xc3"s},
      {Value(Binary{"\x01"}), "\xc4\x01\x01"s}};
  // clang-format on
  for (const auto& [value, bytes] : encodings) {
    EXPECT_EQ(encode(value), bytes);
    cases.emplace_back(bytes, value);
  }
  for (const std::string& bytes :
       {"\xcc\x05"s, "\xcd\0\x05"s, "\xce\0\0\0\x05"s, "\xcf\0\0\0\0\0\0\0\x05"s, "\xd0\x05"s,
        "\xd1\0\x05"s, "\xd2\0\0\0\x05"s, "\xd3\0\0\0\0\0\0\0\x05"s}) {
    cases.emplace_back(bytes, Value(5));
  }
  cases.emplace_back("\xca\x3f\xc0\0\0"s, Value(1.5));
  // Nothing, never used, fixext 1, ext 8, short str, truncated uint16, short
  // array, trailing bytes, 4 billion elements, pairs or bytes in five bytes.
  for (const std::string& bytes : {""s, "\xc1"s, "\xd4\x01\0"s, "\xc7\x01\0"s, "\xa3\x61\x62"s,
                                   "\xcd\0"s, "\x92\xc0"s, "\xc0\xc0"s, "\xdd\xff\xff\xff\xff"s,
                                   "\xdf\xff\xff\xff\xff"s, "\xdb\xff\xff\xff\xff\x61"s}) {
    cases.emplace_back(bytes, std::nullopt);
  }
  // Deeper than any stack (kMaxDepth levels, and one more, are the fuzz target's).
  cases.emplace_back(std::string(1 << 20, '\x91'), std::nullopt);
  auto header = [](char tag, std::uint32_t n) {  // array32 or map32 of n
    unsigned char count[4];
    common::storeBigEndian32(n, count);
    return std::string(1, tag) + std::string(reinterpret_cast<char*>(count), 4);
  };
  std::string lying;
  for (int i = 0; i <= kMaxDepth; ++i) lying += header('\xdd', (1 << 20) - lying.size() - 5);
  lying.resize(1 << 20, '\xc0');
  cases.emplace_back(lying, std::nullopt);
  // 1 MiB holding the most values there may be: 65,535 strings and their array.
  const Value fifteen(std::string(15, 's'));
  std::string strings = header('\xdd', 65535);
  for (int i = 0; i < 65535; ++i) strings += "\xaf" + *fifteen.string();
  cases.emplace_back(strings, Value(Array(65535, fifteen)));
  cases.emplace_back(header('\xdf', 32767) + strings.substr(5, 65534 * 16),
                     Value(Map(32767, {fifteen, fifteen})));
  cases.emplace_back(header('\xdd', 65536) + std::string(65536, '\xc0'), std::nullopt);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::size_t before = held;
    peak = before;
    EXPECT_TRUE(decode(cases[i].first) == cases[i].second) << i;
    EXPECT_LE(peak - before, 4u << 20) << i;
  }
}

}  // namespace
}  // namespace transport::msgpack

void* operator new(std::size_t n) {
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  using transport::msgpack::peak;
  const std::size_t now = transport::msgpack::held += malloc_usable_size(p);
  for (std::size_t seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
  }
  return p;
}
static void release(void* p) noexcept {
  if (p != nullptr) transport::msgpack::held -= malloc_usable_size(p);
  std::free(p);
}
void operator delete(void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
