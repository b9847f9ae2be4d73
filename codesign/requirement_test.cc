#include "codesign/requirement.h"

#include <gtest/gtest.h>

namespace codesign {
namespace {

using Kind = RequirementClause::Kind;

TEST(RequirementCompiler, CompilesTheSubset) {
  const struct {
    std::string text;
    std::vector<RequirementClause> clauses;
  } cases[] = {
      {"anchor apple generic and identifier \"com.korvane.Korvane-Activity-Console\" and "
       "certificate leaf[subject.OU] = \"QX7ZK2M4PD\"",
       {{Kind::kAnchorAppleGeneric, ""},
        {Kind::kIdentifier, "com.korvane.Korvane-Activity-Console"},
        {Kind::kLeafSubjectOU, "QX7ZK2M4PD"}}},
      {"anchor apple generic", {{Kind::kAnchorAppleGeneric, ""}}},
      {"  identifier\t\"a\"\n", {{Kind::kIdentifier, "a"}}},
      {"certificate leaf [ subject.OU ]=\"T\"", {{Kind::kLeafSubjectOU, "T"}}},
      {"identifier \"a\\\"b\\\\c\"", {{Kind::kIdentifier, "a\"b\\c"}}},
      {"identifier \"caf\xc3\xa9\"", {{Kind::kIdentifier, "caf\xc3\xa9"}}},
      {"identifier \"a\" and identifier \"b\"",
       {{Kind::kIdentifier, "a"}, {Kind::kIdentifier, "b"}}},
  };
  for (const auto& c : cases) {
    const std::optional<Requirement> compiled = compileRequirement(c.text);
    ASSERT_TRUE(compiled) << c.text;
    EXPECT_EQ(compiled->clauses, c.clauses) << c.text;
  }
}

TEST(RequirementCompiler, RefusesEverythingElse) {
  const char* const cases[] = {
      "",
      "   ",
      "anchor apple",
      "anchor apple generic and",
      "and anchor apple generic",
      "anchor apple generic or identifier \"a\"",
      "anchor apple generic and and identifier \"a\"",
      "(anchor apple generic)",
      "!anchor apple generic",
      "not anchor apple generic",
      "Anchor apple generic",
      "anchor trusted",
      "identifier a",
      "identifier = \"a\"",
      "identifier \"\"",
      "identifier \"a",
      "identifier \"a\\n\"",
      "identifier \"a\nb\"",
      "identifier \"a\tb\"",
      "identifier \"a\" identifier \"b\"",
      "cert leaf[subject.OU] = \"T\"",
      "certificate leaf[subject.CN] = \"T\"",
      "certificate root[subject.OU] = \"T\"",
      "certificate leaf[subject.OU] \"T\"",
      "certificate leaf[subject.OU] = T",
      "certificate leaf[subject.OU] = \"T\" extra",
      "info [CFBundleVersion] = \"1\"",
      "anchor apple generic; identifier \"a\"",
  };
  for (const char* text : cases) EXPECT_FALSE(compileRequirement(text)) << text;
  EXPECT_FALSE(compileRequirement(std::string_view("identifier \"a\0\"", 15)));
}

}  // namespace
}  // namespace codesign
