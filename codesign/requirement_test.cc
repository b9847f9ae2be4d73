#include "codesign/requirement.h"

#include <gtest/gtest.h>

namespace codesign {
namespace {

using Kind = RequirementClause::Kind;

TEST(RequirementCompiler, CompilesTheSubsetAndNothingElse) {
  const std::pair<std::string, std::vector<RequirementClause>> compiled[] = {
      {"anchor apple generic and identifier \"com.korvane.Korvane-Activity-Console\" and "
       "certificate leaf[subject.OU] = \"QX7ZK2M4PD\"",
       {{Kind::kAnchorAppleGeneric, ""},
        {Kind::kIdentifier, "com.korvane.Korvane-Activity-Console"},
        {Kind::kLeafSubjectOU, "QX7ZK2M4PD"}}},
      {"  identifier\t\"a\"\n", {{Kind::kIdentifier, "a"}}},
      {"certificate leaf [ subject.OU ]=\"T\"", {{Kind::kLeafSubjectOU, "T"}}},
      {"identifier \"a\\\"b\\\\c\"", {{Kind::kIdentifier, "a\"b\\c"}}},
      {"identifier \"caf\xc3\xa9\"", {{Kind::kIdentifier, "caf\xc3\xa9"}}},
  };
  for (const auto& [text, clauses] : compiled) {
    const std::optional<Requirement> requirement = compileRequirement(text);
    ASSERT_TRUE(requirement) << text;
    EXPECT_EQ(requirement->clauses, clauses) << text;
  }
  // Anything looser than the subset (or, negation, other keywords, other
  // certificates or fields, unquoted, empty or unterminated strings, other
  // escapes and control characters) must not compile into something weaker.
  const char* const refused[] = {"",
                                 "anchor apple",
                                 "anchor apple generic and",
                                 "and anchor apple generic",
                                 "anchor apple generic or identifier \"a\"",
                                 "(anchor apple generic)",
                                 "!anchor apple generic",
                                 "Anchor apple generic",
                                 "anchor trusted",
                                 "identifier a",
                                 "identifier \"\"",
                                 "identifier \"a",
                                 "identifier \"a\\n\"",
                                 "identifier \"a\tb\"",
                                 "identifier \"a\" identifier \"b\"",
                                 "certificate leaf[subject.CN] = \"T\"",
                                 "certificate root[subject.OU] = \"T\"",
                                 "certificate leaf[subject.OU] = \"T\" extra",
                                 "info [CFBundleVersion] = \"1\""};
  for (const char* text : refused) EXPECT_FALSE(compileRequirement(text)) << text;
  EXPECT_FALSE(compileRequirement(std::string_view("identifier \"a\0\"", 15)));
}

}  // namespace
}  // namespace codesign
