// Result shapes shared by the working routines, one per reply shape of the
// request interface. They install with the client library, whose API they are
// part of: hence its namespace.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvane {

// A listing reply: one string per element, in order.
using Listing = std::vector<std::string>;

// A success flag with a message that may be absent. Absent (nullopt) is
// distinct from the empty string and travels as nil.
struct FlagMessage {
  bool success = false;
  std::optional<std::string> message;
  bool operator==(const FlagMessage&) const = default;
};

}  // namespace korvane
