#include "tools/pfctl/pf_rules.h"

#include <gtest/gtest.h>

#include "firewall/firewall_rules.h"

namespace pfctl {
namespace {

TEST(PfParsers, SkipCommentsAndRefuseWhatTheyDoNotUnderstandWithFileAndLine) {
  std::vector<Rule> rules;
  std::string err;
  using A = Action;
  using D = Direction;
  using F = Family;
  using P = Protocol;
  // Blank and comment lines are skipped; tokens may be spaced in any way.
  EXPECT_TRUE(
      parseRules("# note\n\n \t\nblock  return out inet6 proto udp from any to any port {53,5}",
                 "anchor", &rules, &err));
  EXPECT_EQ(rules, (std::vector<Rule>{{A::kReturn, D::kOut, F::kInet6, P::kUdp, {53, 5}}}));

  // What it does not understand is refused with the file and line.
  const std::string good = "block drop in inet proto tcp from any to any port { 22 }\n";
  const std::pair<std::string, std::string> cases[] = {
      {"block drop in inet proto tcp from any to any port { 70000 }", "illegal port value 70000"},
      {"block drop in inet proto tcp from any to any port { 22, -1 }", "illegal port value -1"},
      {"block drop in inet proto tcp from any to any port { 99999999999999999999 }",
       "illegal port value 99999999999999999999"},
      {"block drop in inet proto tcp from any to any port { }", "syntax error"},
      {"block drop in inet proto tcp from any to any port { +22 }", "syntax error"},
      {"block drop in inet proto tcp from 10.0.0.1 to any port { 22 }", "syntax error"},
      {"block drop in inet proto tcp from any to any port { 22 } # note", "syntax error"},
  };
  for (const auto& [line, error] : cases) {
    EXPECT_FALSE(parseRules(good + line + "\n" + good + line, "/tmp/anchor", &rules, &err));
    EXPECT_EQ(err, "/tmp/anchor:2: " + error + "\n/tmp/anchor:4: " + error) << line;
  }

  std::string conf = "set skip on lo0\n# load anchor \"x\" from \"/nowhere\"\npass all";
  firewall::appendAnchorBlock(&conf, "/etc/pf.anchors/com.korvane.helper.firewall");
  conf += "load anchor other.one from \"/tmp/other file\" # trailing\n";
  std::vector<AnchorLoad> loads;
  EXPECT_TRUE(parseAnchorLoads(conf, "/etc/pf.conf", &loads, &err)) << err;
  EXPECT_EQ(loads, (std::vector<AnchorLoad>{{"com.korvane.helper.firewall",
                                             "/etc/pf.anchors/com.korvane.helper.firewall", 6},
                                            {"other.one", "/tmp/other file", 7}}));

  for (const char* bad :
       {"load anchor \"x\" from", "load anchor \"x\" to \"f\"", "pass \"unterminated"}) {
    EXPECT_FALSE(
        parseAnchorLoads(std::string("load anchor a from b\n") + bad, "pf.conf", &loads, &err));
    EXPECT_EQ(err, "pf.conf:2: syntax error") << bad;
    EXPECT_EQ(loads, (std::vector<AnchorLoad>{{"a", "b", 1}})) << bad;
  }
}

}  // namespace
}  // namespace pfctl
