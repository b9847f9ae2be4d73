// The one parser of decimal integers: whole strings only.
#pragma once

#include <charconv>
#include <concepts>
#include <optional>
#include <string_view>
#include <system_error>

namespace common {

// The integer `text` spells in decimal, with a leading '-' for a signed T;
// nullopt when `text` is empty, holds anything else (a sign '+', a space, a
// trailing byte) or the value does not fit T.
template <std::integral T>
std::optional<T> parseDecimal(std::string_view text) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace common
