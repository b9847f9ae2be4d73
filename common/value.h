// The data model that crosses the wire: the MessagePack value types. Requests
// carry their arguments as Values, and a port list's elements stay Values until
// the firewall decides what it accepts, as an array of numbers would on the
// home platform (elements neither converted nor validated in transit).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace common {

struct Value;
using Array = std::vector<Value>;
using Map = std::vector<std::pair<Value, Value>>;

struct Nil {
  bool operator==(const Nil&) const = default;
};

struct Binary {
  std::string bytes;
  bool operator==(const Binary&) const = default;
};

// An integer is held as int64_t whenever it fits; only values above INT64_MAX
// are held as uint64_t. So one integer has exactly one representation.
struct Value {
  using Storage =
      std::variant<Nil, bool, std::int64_t, std::uint64_t, double, std::string, Binary, Array, Map>;
  Storage v;

  Value() : v(Nil{}) {}
  Value(Nil n) : v(n) {}
  Value(bool b) : v(b) {}
  Value(std::int64_t i) : v(i) {}
  Value(std::uint64_t u) {
    if (u <= static_cast<std::uint64_t>(INT64_MAX)) {
      v = static_cast<std::int64_t>(u);
    } else {
      v = u;
    }
  }
  Value(int i) : v(static_cast<std::int64_t>(i)) {}
  Value(double d) : v(d) {}
  Value(std::string s) : v(std::move(s)) {}
  Value(const char* s) : v(std::string(s)) {}
  Value(Binary b) : v(std::move(b)) {}
  Value(Array a) : v(std::move(a)) {}
  Value(Map m) : v(std::move(m)) {}

  bool isNil() const { return std::holds_alternative<Nil>(v); }
  bool isBool() const { return std::holds_alternative<bool>(v); }
  bool isInteger() const {
    return std::holds_alternative<std::int64_t>(v) || std::holds_alternative<std::uint64_t>(v);
  }
  bool isString() const { return std::holds_alternative<std::string>(v); }
  bool isArray() const { return std::holds_alternative<Array>(v); }

  // The value as a signed 64-bit integer, or nullopt when it is not an integer
  // in that range.
  std::optional<std::int64_t> asInt64() const {
    if (auto* i = std::get_if<std::int64_t>(&v)) return *i;
    return std::nullopt;
  }
  // Decimal text of an integer value ("-1", "70000", "18446744073709551615"),
  // or nullopt when the value is not an integer.
  std::optional<std::string> integerText() const {
    if (auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
    if (auto* u = std::get_if<std::uint64_t>(&v)) return std::to_string(*u);
    return std::nullopt;
  }
  const std::string* string() const { return std::get_if<std::string>(&v); }
  const Array* array() const { return std::get_if<Array>(&v); }
  const bool* boolean() const { return std::get_if<bool>(&v); }

  bool operator==(const Value&) const = default;
};

}  // namespace common
