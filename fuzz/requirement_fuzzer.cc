// What compiles, printed back, compiles the same; only the anchor clause has no string.
#include <cassert>
#include <cstdint>
#include <string>

#include "codesign/requirement.h"

using codesign::RequirementClause;

static std::string quoted(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

static std::string print(const codesign::Requirement& requirement) {
  static const char* const kKeywords[] = {"anchor apple generic", "identifier ",
                                          "certificate leaf[subject.OU]="};  // by Kind
  std::string text;
  for (const RequirementClause& c : requirement.clauses) {
    if (!text.empty()) text += "\n\tand ";
    text += kKeywords[static_cast<int>(c.kind)];
    if (c.kind != RequirementClause::Kind::kAnchorAppleGeneric) text += quoted(c.value);
  }
  return text;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto compiled = codesign::compileRequirement({reinterpret_cast<const char*>(data), size});
  if (!compiled) return 0;
  for (const RequirementClause& c : compiled->clauses) {
    assert(c.value.empty() == (c.kind == RequirementClause::Kind::kAnchorAppleGeneric));
  }
  assert(codesign::compileRequirement(print(*compiled)) == compiled);
  return 0;
}
