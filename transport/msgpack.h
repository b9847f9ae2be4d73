// MessagePack codec for the wire (pure). Decoding is strict and bounded: it
// never reads past its input, refuses nesting deeper than kMaxDepth, refuses
// input that holds more than kMaxValues values, and refuses ext types and any
// trailing bytes. It is the first thing that touches an untrusted frame.
//
// Memory: a container is reserved only for the elements it declares, and
// only when the bytes left can hold them and they fit in what is left of
// kMaxValues. So decoding n bytes allocates at most kMaxValues values'
// worth of containers (about 2.5 MiB) plus n bytes of strings, however the
// declared counts lie or nest.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/value.h"

namespace transport::msgpack {

inline constexpr int kMaxDepth = 16;
// Values in one input, every container and every element counted.
inline constexpr std::size_t kMaxValues = 65536;

// Appends the encoding of `value` to `out`. Strings are encoded as str,
// Binary as bin, integers in the smallest form that holds them.
void encode(const common::Value& value, std::string& out);
std::string encode(const common::Value& value);
// Appends what encode(Value(elements)) would, without copying the elements
// into a value first.
void encodeArray(const common::Array& elements, std::string& out);

// Decodes exactly one value that spans all of `bytes`; nullopt when the bytes
// are malformed, truncated, too deep, hold too many values, use an ext type,
// or leave bytes over. Never throws.
std::optional<common::Value> decode(std::string_view bytes);

}  // namespace transport::msgpack
