#include "transport/msgpack.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <new>

namespace transport::msgpack {
namespace {

using common::Array;
using common::Binary;
using common::Map;
using common::Nil;
using common::Value;

void putBigEndian(std::string& out, std::uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void putHeader(std::string& out, std::size_t n, std::uint8_t fix, int fixBits, std::uint8_t b8,
               std::uint8_t b16, std::uint8_t b32) {
  if (fix != 0 && n < (std::size_t{1} << fixBits)) {
    out.push_back(static_cast<char>(fix | n));
  } else if (b8 != 0 && n <= 0xFF) {
    out.push_back(static_cast<char>(b8));
    putBigEndian(out, n, 1);
  } else if (n <= 0xFFFF) {
    out.push_back(static_cast<char>(b16));
    putBigEndian(out, n, 2);
  } else {
    out.push_back(static_cast<char>(b32));
    putBigEndian(out, n, 4);
  }
}

void encodeUnsigned(std::string& out, std::uint64_t u) {
  if (u < 0x80) {
    out.push_back(static_cast<char>(u));
  } else if (u <= 0xFF) {
    out.push_back(static_cast<char>(0xCC));
    putBigEndian(out, u, 1);
  } else if (u <= 0xFFFF) {
    out.push_back(static_cast<char>(0xCD));
    putBigEndian(out, u, 2);
  } else if (u <= 0xFFFFFFFF) {
    out.push_back(static_cast<char>(0xCE));
    putBigEndian(out, u, 4);
  } else {
    out.push_back(static_cast<char>(0xCF));
    putBigEndian(out, u, 8);
  }
}

void encodeSigned(std::string& out, std::int64_t i) {
  if (i >= 0) return encodeUnsigned(out, static_cast<std::uint64_t>(i));
  if (i >= -32) {
    out.push_back(static_cast<char>(static_cast<std::uint8_t>(i)));
  } else if (i >= INT8_MIN) {
    out.push_back(static_cast<char>(0xD0));
    putBigEndian(out, static_cast<std::uint8_t>(i), 1);
  } else if (i >= INT16_MIN) {
    out.push_back(static_cast<char>(0xD1));
    putBigEndian(out, static_cast<std::uint16_t>(i), 2);
  } else if (i >= INT32_MIN) {
    out.push_back(static_cast<char>(0xD2));
    putBigEndian(out, static_cast<std::uint32_t>(i), 4);
  } else {
    out.push_back(static_cast<char>(0xD3));
    putBigEndian(out, static_cast<std::uint64_t>(i), 8);
  }
}

class Decoder {
 public:
  explicit Decoder(std::string_view in) : in_(in) {}

  std::optional<Value> value(int depth) {
    if (depth > kMaxDepth) return std::nullopt;
    std::uint8_t tag;
    if (!byte(tag)) return std::nullopt;
    if (tag <= 0x7F) return Value(static_cast<std::int64_t>(tag));
    if (tag >= 0xE0) return Value(static_cast<std::int64_t>(static_cast<std::int8_t>(tag)));
    if ((tag & 0xF0) == 0x80) return map(tag & 0x0F, depth);
    if ((tag & 0xF0) == 0x90) return array(tag & 0x0F, depth);
    if ((tag & 0xE0) == 0xA0) return str(tag & 0x1F);
    std::uint64_t n;
    switch (tag) {
      case 0xC0:
        return Value(Nil{});
      case 0xC2:
        return Value(false);
      case 0xC3:
        return Value(true);
      case 0xC4:
      case 0xC5:
      case 0xC6:
        if (!number(1 << (tag - 0xC4), n)) return std::nullopt;
        return bin(n);
      case 0xCA: {
        if (!number(4, n)) return std::nullopt;
        return Value(static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(n))));
      }
      case 0xCB:
        if (!number(8, n)) return std::nullopt;
        return Value(std::bit_cast<double>(n));
      case 0xCC:
      case 0xCD:
      case 0xCE:
      case 0xCF:
        if (!number(1 << (tag - 0xCC), n)) return std::nullopt;
        return Value(n);
      case 0xD0:
        if (!number(1, n)) return std::nullopt;
        return Value(static_cast<std::int64_t>(static_cast<std::int8_t>(n)));
      case 0xD1:
        if (!number(2, n)) return std::nullopt;
        return Value(static_cast<std::int64_t>(static_cast<std::int16_t>(n)));
      case 0xD2:
        if (!number(4, n)) return std::nullopt;
        return Value(static_cast<std::int64_t>(static_cast<std::int32_t>(n)));
      case 0xD3:
        if (!number(8, n)) return std::nullopt;
        return Value(static_cast<std::int64_t>(n));
      case 0xD9:
      case 0xDA:
      case 0xDB:
        if (!number(1 << (tag - 0xD9), n)) return std::nullopt;
        return str(n);
      case 0xDC:
      case 0xDD:
        if (!number(2 << (tag - 0xDC), n)) return std::nullopt;
        return array(n, depth);
      case 0xDE:
      case 0xDF:
        if (!number(2 << (tag - 0xDE), n)) return std::nullopt;
        return map(n, depth);
      default:
        return std::nullopt;  // 0xC1 (never used) and the ext family
    }
  }

  bool atEnd() const { return pos_ == in_.size(); }

 private:
  std::size_t left() const { return in_.size() - pos_; }

  bool byte(std::uint8_t& b) {
    if (left() < 1) return false;
    b = static_cast<std::uint8_t>(in_[pos_++]);
    return true;
  }

  bool number(int bytes, std::uint64_t& v) {
    if (left() < static_cast<std::size_t>(bytes)) return false;
    v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | static_cast<std::uint8_t>(in_[pos_++]);
    return true;
  }

  std::optional<std::string_view> bytes(std::uint64_t n) {
    if (n > left()) return std::nullopt;
    auto s = in_.substr(pos_, n);
    pos_ += n;
    return s;
  }

  std::optional<Value> str(std::uint64_t n) {
    auto s = bytes(n);
    if (!s) return std::nullopt;
    return Value(std::string(*s));
  }

  std::optional<Value> bin(std::uint64_t n) {
    auto s = bytes(n);
    if (!s) return std::nullopt;
    return Value(Binary{std::string(*s)});
  }

  // Takes `n` declared values from the budget before anything is reserved
  // for them. Every value takes at least one byte, so a count above the
  // bytes left is a lie; the budget bounds what all the containers open at
  // once may reserve together, however deep they nest.
  bool claim(std::uint64_t n) {
    if (n > left() || n > valuesLeft_) return false;
    valuesLeft_ -= n;
    return true;
  }

  std::optional<Value> array(std::uint64_t n, int depth) {
    if (!claim(n)) return std::nullopt;
    Array a;
    a.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) {
      auto v = value(depth + 1);
      if (!v) return std::nullopt;
      a.push_back(std::move(*v));
    }
    return Value(std::move(a));
  }

  std::optional<Value> map(std::uint64_t n, int depth) {
    if (!claim(2 * n)) return std::nullopt;  // n < 2^32: no overflow
    Map m;
    m.reserve(n);
    for (std::uint64_t i = 0; i < n; ++i) {
      auto k = value(depth + 1);
      if (!k) return std::nullopt;
      auto v = value(depth + 1);
      if (!v) return std::nullopt;
      m.emplace_back(std::move(*k), std::move(*v));
    }
    return Value(std::move(m));
  }

  std::string_view in_;
  std::size_t pos_ = 0;
  std::uint64_t valuesLeft_ = kMaxValues - 1;  // the outermost value is one
};

}  // namespace

void encode(const Value& value, std::string& out) {
  struct Visitor {
    std::string& out;
    void operator()(const Nil&) { out.push_back(static_cast<char>(0xC0)); }
    void operator()(bool b) { out.push_back(static_cast<char>(b ? 0xC3 : 0xC2)); }
    void operator()(std::int64_t i) { encodeSigned(out, i); }
    void operator()(std::uint64_t u) { encodeUnsigned(out, u); }
    void operator()(double d) {
      out.push_back(static_cast<char>(0xCB));
      putBigEndian(out, std::bit_cast<std::uint64_t>(d), 8);
    }
    void operator()(const std::string& s) {
      putHeader(out, s.size(), 0xA0, 5, 0xD9, 0xDA, 0xDB);
      out.append(s);
    }
    void operator()(const Binary& b) {
      putHeader(out, b.bytes.size(), 0, 0, 0xC4, 0xC5, 0xC6);
      out.append(b.bytes);
    }
    void operator()(const Array& a) { encodeArray(a, out); }
    void operator()(const Map& m) {
      putHeader(out, m.size(), 0x80, 4, 0, 0xDE, 0xDF);
      for (const auto& [k, v] : m) {
        encode(k, out);
        encode(v, out);
      }
    }
  };
  std::visit(Visitor{out}, value.v);
}

void encodeArray(const Array& elements, std::string& out) {
  putHeader(out, elements.size(), 0x90, 4, 0, 0xDC, 0xDD);
  for (const auto& e : elements) encode(e, out);
}

std::string encode(const Value& value) {
  std::string out;
  encode(value, out);
  return out;
}

std::optional<Value> decode(std::string_view bytes) {
  try {
    Decoder d(bytes);
    auto v = d.value(0);
    if (!v || !d.atEnd()) return std::nullopt;
    return v;
  } catch (const std::bad_alloc&) {
    return std::nullopt;  // what the bounds allow still did not fit
  }
}

}  // namespace transport::msgpack
