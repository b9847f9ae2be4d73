// The code requirement language, the subset the daemon uses: a pure
// compiler from text to clauses.
//
//   requirement := clause { "and" clause }
//   clause      := "anchor" "apple" "generic"
//                | "identifier" STRING
//                | "certificate" "leaf" "[" "subject.OU" "]" "=" STRING
//   STRING      := '"' { any byte from 0x20 to 0x7e except '"' and '\', or
//                        any byte above 0x7f, or '\"' or '\\' } '"', not empty
//
// Tokens may be separated by spaces, tabs and line ends. Every other text
// (other keywords, "or", parentheses, negation, unquoted or empty strings,
// other escapes, control characters) does not compile.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace codesign {

struct RequirementClause {
  enum class Kind {
    kAnchorAppleGeneric,  // the chain verifies to this build's trust anchor
    kIdentifier,          // the signing identifier equals `value`
    kLeafSubjectOU,       // the leaf's subject has exactly one OU, equal to `value`
  };
  Kind kind = Kind::kAnchorAppleGeneric;
  std::string value;  // unescaped bytes of the string; empty for the anchor
  bool operator==(const RequirementClause&) const = default;
};

// All clauses must hold, in order.
struct Requirement {
  std::vector<RequirementClause> clauses;
  bool operator==(const Requirement&) const = default;
};

// The compiled requirement, or nullopt when `text` is not in the subset.
std::optional<Requirement> compileRequirement(std::string_view text);

}  // namespace codesign
