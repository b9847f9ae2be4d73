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

// Bytes held through operator new, and their peak: every container and
// string the decoder makes comes from there.
std::atomic<std::size_t> held{0}, peak{0};

using common::Array;
using common::Binary;
using common::Map;
using common::Nil;
using common::Value;

std::string hex(std::string_view s) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::string unhex(std::string_view h) {
  std::string out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

TEST(Msgpack, EncodesInTheSmallestStandardFormAndDecodesToTheSameKind) {
  struct Case {
    Value value;
    std::string bytes;
  };
  const Case cases[] = {
      {Value(Nil{}), "c0"},
      {Value(false), "c2"},
      {Value(true), "c3"},
      {Value(0), "00"},
      {Value(127), "7f"},
      {Value(128), "cc80"},
      {Value(65536), "ce00010000"},
      {Value(-1), "ff"},
      {Value(-32), "e0"},
      {Value(-33), "d0df"},
      {Value(std::numeric_limits<std::int64_t>::min()), "d38000000000000000"},
      {Value(std::numeric_limits<std::uint64_t>::max()), "cfffffffffffffffff"},
      {Value(""), "a0"},
      {Value("abc"), "a3616263"},
      {Value(std::string(32, 'x')), "d920" + hex(std::string(32, 'x'))},
      {Value(Binary{"\x01"}), "c40101"},
      {Value(Array{Value(1), Value(Nil{})}), "9201c0"},
      {Value(Map{{Value("k"), Value(true)}}), "81a16bc3"},
      {Value(1.5), "cb3ff8000000000000"},
  };
  for (const auto& c : cases) {
    const std::string encoded = encode(c.value);
    EXPECT_EQ(hex(encoded), c.bytes);
    auto back = decode(encoded);
    ASSERT_TRUE(back.has_value()) << c.bytes;
    EXPECT_EQ(*back, c.value) << c.bytes;
  }
}

TEST(Msgpack, DecodesEveryIntegerWidthToOneRepresentation) {
  // 5 as positive fixint, uint8, uint16, uint32, uint64, int8, int16, int32, int64.
  for (const char* h : {"05", "cc05", "cd0005", "ce00000005", "cf0000000000000005", "d005",
                        "d10005", "d200000005", "d30000000000000005"}) {
    auto v = decode(unhex(h));
    ASSERT_TRUE(v) << h;
    EXPECT_EQ(v->asInt64(), 5) << h;
  }
  auto f32 = decode(unhex("ca3fc00000"));
  ASSERT_TRUE(f32);
  EXPECT_EQ(*f32, Value(1.5));
  EXPECT_FALSE(f32->isInteger());
}

TEST(Msgpack, RefusesMalformedInput) {
  const char* cases[] = {
      "",              // nothing
      "c1",            // never used
      "d40100",        // fixext 1
      "c70100",        // ext 8
      "a36162",        // str shorter than declared
      "cd00",          // truncated uint16
      "92c0",          // array shorter than declared
      "c0c0",          // trailing bytes
      "ddffffffff",    // array of 4 billion elements in five bytes
      "dfffffffff",    // map of 4 billion pairs
      "dbffffffff61",  // str of 4 GiB
  };
  for (const char* h : cases) EXPECT_FALSE(decode(unhex(h)).has_value()) << h;
}

TEST(Msgpack, RefusesNestingDeeperThanTheLimit) {
  std::string ok(kMaxDepth, '\x91');
  ok.push_back('\xc0');
  EXPECT_TRUE(decode(ok).has_value());
  std::string deep(kMaxDepth + 1, '\x91');
  deep.push_back('\xc0');
  EXPECT_FALSE(decode(deep).has_value());
  // Far deeper than any stack would take if the limit were missing.
  EXPECT_FALSE(decode(std::string(1 << 20, '\x91')).has_value());
}

TEST(Msgpack, AMebibyteFrameCostsAFewMebibytesAtMost) {
  auto header = [](char tag, std::uint32_t n) {  // array32 or map32 of n
    unsigned char count[4];
    common::storeBigEndian32(n, count);
    return std::string(1, tag) + std::string(reinterpret_cast<char*>(count), 4);
  };
  constexpr std::size_t kFrame = 1 << 20;
  std::string lying;  // each array claims every byte left: as deep as allowed
  for (int i = 0; i <= kMaxDepth; ++i) lying += header('\xdd', kFrame - lying.size() - 5);
  lying.resize(kFrame, '\xc0');
  std::string fifteen = "\xaf" + std::string(15, 's'), strings = header('\xdd', 65535);
  for (int i = 0; i < 65535; ++i) strings += fifteen;  // 65,536 values in all: the most
  struct Case {
    std::string bytes;
    bool decodes;
  };
  const Case cases[] = {
      {lying, false},
      {strings, true},
      {header('\xdf', 32767) + strings.substr(5, 65534 * 16), true},  // a map of as many
      {header('\xdd', 65536) + std::string(65536, '\xc0'), false},     // one value too many
  };
  for (const auto& c : cases) {
    const std::size_t before = held;
    peak = before;
    EXPECT_EQ(decode(c.bytes).has_value(), c.decodes) << c.bytes.size();
    EXPECT_LE(peak - before, 4u << 20) << c.bytes.size();
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
