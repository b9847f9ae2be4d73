// MessagePack codec for the wire (pure). Decoding is strict and bounded: it
// never reads past its input, refuses nesting deeper than kMaxDepth, refuses a
// container whose declared element count exceeds the bytes left (so a tiny
// frame cannot make it allocate much), and refuses ext types and any trailing
// bytes. It is the first thing that touches an untrusted frame.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/value.h"

namespace transport::msgpack {

inline constexpr int kMaxDepth = 16;

// Appends the encoding of `value` to `out`. Strings are encoded as str,
// Binary as bin, integers in the smallest form that holds them.
void encode(const common::Value& value, std::string& out);
std::string encode(const common::Value& value);

// Decodes exactly one value that spans all of `bytes`; nullopt when the bytes
// are malformed, truncated, too deep, use an ext type, or leave bytes over.
std::optional<common::Value> decode(std::string_view bytes);

}  // namespace transport::msgpack
