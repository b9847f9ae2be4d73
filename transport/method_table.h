// The table of a protocol's methods, what NSXPCInterface knows about a
// protocol. Each method has a selector and an extended type encoding (the
// Objective-C runtime's method signature string); the transport derives from
// the encoding which argument types a request must carry and which parameter
// types its reply block takes, and refuses a request that does not fit before
// anything is dispatched.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/value.h"

namespace transport {

enum class ArgType {
  kInt64,   // q
  kBool,    // B (arm64) or c (x86_64)
  kString,  // @"NSString"; nil allowed
  kArray,   // @"NSArray"; nil allowed, elements unchecked
};

struct MethodSignature {
  std::vector<ArgType> arguments;        // between the selector and the reply block
  std::vector<ArgType> replyParameters;  // of the reply block, in order
};

// Parses an extended type encoding such as `v32@0:8q16@?<v@?B>24`: a void
// method whose last argument is a reply block. nullopt for anything else.
std::optional<MethodSignature> parseMethodEncoding(std::string_view encoding);

// Whether `value` is acceptable where `type` is declared.
bool fits(const common::Value& value, ArgType type);

struct MethodDescription {
  std::string selector;
  std::string typeEncoding;
  MethodSignature signature;
};

// The methods a connection exports (its "exported interface" in XPC's words).
class MethodTable {
 public:
  // Builds a table from (selector, extended type encoding) pairs. Every
  // encoding must parse: a malformed one is a programmer error (asserted) and
  // the method is left out.
  static std::shared_ptr<const MethodTable> withMethods(
      const std::vector<std::pair<std::string, std::string>>& methods);

  // The method with this selector, or nullptr.
  const MethodDescription* find(std::string_view selector) const;
  // The method a request calls: its selector is known, its encoding is exactly
  // that method's, and it carries one fitting value per declared argument.
  // Otherwise nullptr, with `err` saying what did not fit.
  const MethodDescription* methodFor(std::string_view selector, std::string_view typeEncoding,
                                     const common::Array& arguments, std::string* err) const;
  const std::vector<MethodDescription>& methods() const { return methods_; }

 private:
  std::vector<MethodDescription> methods_;
};

}  // namespace transport
