// The requirement compiler on arbitrary text. What it compiles, printed back
// in the language, compiles to the same requirement; its strings are never
// empty and hold no control characters.
#include <cassert>
#include <cstdint>
#include <string>

#include "codesign/requirement.h"

namespace {

using codesign::RequirementClause;

std::string quoted(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

std::string print(const codesign::Requirement& requirement) {
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto compiled = codesign::compileRequirement({reinterpret_cast<const char*>(data), size});
  if (!compiled) return 0;
  assert(!compiled->clauses.empty());
  for (const RequirementClause& c : compiled->clauses) {
    const bool anchor = c.kind == RequirementClause::Kind::kAnchorAppleGeneric;
    assert(c.value.empty() == anchor);
    for (char ch : c.value) assert(static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7f);
  }
  assert(codesign::compileRequirement(print(*compiled)) == compiled);
  return 0;
}
