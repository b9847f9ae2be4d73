// What the decoder accepts re-encodes canonically, refuses a trailing byte, and nests
// to kMaxDepth levels exactly.
#include <algorithm>
#include <cassert>
#include <cstdint>
#include <string>

#include "transport/msgpack.h"

using common::Value;

// Levels of values: 1 for a scalar or an empty container.
static int depth(const Value& v) {
  int inner = 0;
  if (const auto* a = std::get_if<common::Array>(&v.v)) {
    for (const auto& e : *a) inner = std::max(inner, depth(e));
  } else if (const auto* m = std::get_if<common::Map>(&v.v)) {
    for (const auto& [k, e] : *m) inner = std::max({inner, depth(k), depth(e)});
  }
  return inner + 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace msgpack = transport::msgpack;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const auto value = msgpack::decode(bytes);
  if (!value) return 0;
  // Compared as bytes: a NaN inside never equals itself as a Value.
  const std::string canonical = msgpack::encode(*value);
  const auto again = msgpack::decode(canonical);
  assert(again && msgpack::encode(*again) == canonical);
  assert(!msgpack::decode(bytes + '\xC0'));

  const int levels = depth(*value);
  assert(levels <= msgpack::kMaxDepth + 1);
  const std::string wrap(msgpack::kMaxDepth + 1 - levels, '\x91');
  assert(msgpack::decode(wrap + bytes));
  assert(!msgpack::decode('\x91' + wrap + bytes));
  return 0;
}
