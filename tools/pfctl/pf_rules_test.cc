#include "tools/pfctl/pf_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firewall/firewall_rules.h"
#include "firewall/pf_conf.h"

namespace pfctl {
namespace {

TEST(ParseRules, UnderstandsEveryLineTheFirewallWritesAndSkipsComments) {
  const std::string text =
      firewall::makeFirewallRules(firewall::portListOf({22, 80, 22}), firewall::portListOf({0}),
                                  firewall::portListOf({53, 123}), firewall::portListOf({65535}));
  RulesParse parsed = parseRules(text, "anchor");
  ASSERT_EQ(parsed.errors, std::vector<std::string>{});
  using A = Action;
  using D = Direction;
  using F = Family;
  using P = Protocol;
  const std::vector<Rule> expected = {
      {A::kDrop, D::kIn, F::kInet, P::kTcp, {22, 80, 22}},
      {A::kDrop, D::kIn, F::kInet6, P::kTcp, {22, 80, 22}},
      {A::kDrop, D::kIn, F::kInet, P::kUdp, {53, 123}},
      {A::kDrop, D::kIn, F::kInet6, P::kUdp, {53, 123}},
      {A::kReturn, D::kOut, F::kInet, P::kTcp, {0}},
      {A::kReturn, D::kOut, F::kInet6, P::kTcp, {0}},
      {A::kReturn, D::kOut, F::kInet, P::kUdp, {65535}},
      {A::kReturn, D::kOut, F::kInet6, P::kUdp, {65535}},
  };
  EXPECT_EQ(parsed.rules, expected);
  EXPECT_TRUE(parseRules("", "anchor").rules.empty());
  // Blank and comment lines are skipped; tokens may be spaced in any way.
  parsed = parseRules(
      "# note\n\n \t\nblock  return out inet6 proto udp from any to any port {53,5}", "anchor");
  EXPECT_EQ(parsed.rules, (std::vector<Rule>{{A::kReturn, D::kOut, F::kInet6, P::kUdp, {53, 5}}}));
}

TEST(ParseRules, RefusesWhatItDoesNotUnderstandWithFileAndLine) {
  const std::string good = "block drop in inet proto tcp from any to any port { 22 }\n";
  struct Case {
    std::string line;
    std::string error;
  };
  const Case cases[] = {
      {"block drop in inet proto tcp from any to any port { 70000 }", "illegal port value 70000"},
      {"block drop in inet proto tcp from any to any port { 22, -1 }", "illegal port value -1"},
      {"block drop in inet proto tcp from any to any port { 65536 }", "illegal port value 65536"},
      {"block drop in inet proto tcp from any to any port { 99999999999999999999 }",
       "illegal port value 99999999999999999999"},
      {"block drop in inet proto tcp from any to any port { }", "syntax error"},
      {"block drop in inet proto tcp from any to any port { 22, }", "syntax error"},
      {"block drop in inet proto tcp from any to any port { 22 80 }", "syntax error"},
      {"block drop in inet proto tcp from any to any port { 22,, 80 }", "syntax error"},
      {"block drop in inet proto tcp from any to any port { +22 }", "syntax error"},
      {"block drop in inet proto tcp from any to any port { 22 } 80 }", "syntax error"},
      {"block drop in inet proto tcp from any to any port { 22", "syntax error"},
      {"block drop in inet proto tcp from any to any port 22", "syntax error"},
      {"block drop in inet proto icmp from any to any port { 22 }", "syntax error"},
      {"block drop in inet proto tcp from 10.0.0.1 to any port { 22 }", "syntax error"},
      {"pass in inet proto tcp from any to any port { 22 }", "syntax error"},
      {"block drop in inet proto tcp from any to any port { 22 } # note", "syntax error"},
  };
  for (const Case& c : cases) {
    RulesParse parsed = parseRules(good + c.line + "\n" + good, "/tmp/anchor");
    EXPECT_EQ(parsed.errors, std::vector<std::string>{"/tmp/anchor:2: " + c.error}) << c.line;
  }
}

TEST(NftReplaceTableScript, ReplacesTheTableInOneTransaction) {
  const std::vector<Rule> rules = {
      {Action::kDrop, Direction::kIn, Family::kInet, Protocol::kTcp, {22, 80}},
      {Action::kReturn, Direction::kOut, Family::kInet6, Protocol::kTcp, {25}},
      {Action::kDrop, Direction::kIn, Family::kInet6, Protocol::kUdp, {53}},
      {Action::kReturn, Direction::kOut, Family::kInet, Protocol::kUdp, {53, 123}},
  };
  EXPECT_EQ(nftReplaceTableScript("com.korvane.helper.firewall", rules),
            "table inet com.korvane.helper.firewall\n"
            "delete table inet com.korvane.helper.firewall\n"
            "table inet com.korvane.helper.firewall {\n"
            "\tchain input {\n"
            "\t\ttype filter hook input priority filter; policy accept;\n"
            "\t\tmeta nfproto ipv4 tcp dport { 22, 80 } drop\n"
            "\t\tmeta nfproto ipv6 udp dport { 53 } drop\n"
            "\t}\n"
            "\tchain output {\n"
            "\t\ttype filter hook output priority filter; policy accept;\n"
            "\t\tmeta nfproto ipv6 tcp dport { 25 } reject with tcp reset\n"
            "\t\tmeta nfproto ipv4 udp dport { 53, 123 } reject with icmpx type "
            "port-unreachable\n"
            "\t}\n"
            "}\n");
  EXPECT_EQ(nftReplaceTableScript("a", {}),
            "table inet a\ndelete table inet a\ntable inet a {\n"
            "\tchain input {\n\t\ttype filter hook input priority filter; policy accept;\n\t}\n"
            "\tchain output {\n\t\ttype filter hook output priority filter; policy accept;\n\t}\n"
            "}\n");
}

TEST(ParseAnchorLoads, FindsTheLoadLinesOfTheFirewallsBlock) {
  const std::string conf = "set skip on lo0\n# load anchor \"x\" from \"/nowhere\"\npass all" +
                           firewall::anchorBlock("/etc/pf.anchors/com.korvane.helper.firewall") +
                           "load anchor other.one from \"/tmp/other file\" # trailing\n";
  AnchorLoadsParse parsed = parseAnchorLoads(conf, "/etc/pf.conf");
  EXPECT_EQ(parsed.errors, std::vector<std::string>{});
  EXPECT_EQ(parsed.loads,
            (std::vector<AnchorLoad>{
                {"com.korvane.helper.firewall", "/etc/pf.anchors/com.korvane.helper.firewall", 6},
                {"other.one", "/tmp/other file", 7}}));

  for (const char* bad :
       {"load anchor \"x\"", "load anchor \"x\" from", "load anchor \"x\" to \"f\"",
        "load anchor \"x\" from \"f", "pass \"unterminated"}) {
    EXPECT_EQ(parseAnchorLoads(std::string("pass all\n") + bad, "pf.conf").errors,
              std::vector<std::string>{"pf.conf:2: syntax error"})
        << bad;
  }
}

TEST(IsValidAnchorName, AcceptsOnlyNamesThatAreNftTableNames) {
  for (const char* name : {"com.korvane.helper.firewall", "a", "A-b_c.1"}) {
    EXPECT_TRUE(isValidAnchorName(name)) << name;
  }
  for (const char* name : {"", "1abc", ".a", "com.apple/250", "a b", "a\"b", "a;b", "a{"}) {
    EXPECT_FALSE(isValidAnchorName(name)) << name;
  }
}

TEST(ParseCommand, KnowsExactlyTheFourInvocations) {
  using K = Command::Kind;
  using Args = std::vector<std::string>;
  EXPECT_EQ(parseCommand({"-a", "x", "-F", "all"}), (Command{K::kFlushAnchor, "x", ""}));
  EXPECT_EQ(parseCommand({"-f", "/etc/pf.conf"}), (Command{K::kReloadConfig, "", "/etc/pf.conf"}));
  EXPECT_EQ(parseCommand({"-a", "x", "-f", "/f"}), (Command{K::kLoadAnchor, "x", "/f"}));
  EXPECT_EQ(parseCommand({"-E"}), (Command{K::kEnable, "", ""}));
  for (const Args& args : {Args{}, Args{"-d"}, Args{"-e"}, Args{"-E", "-E"}, Args{"-f"},
                           Args{"-a", "x", "-F", "rules"}, Args{"-F", "all", "-a", "x"},
                           Args{"-a", "x", "-s", "rules"}, Args{"-sr"}, Args{"-a", "x"}}) {
    EXPECT_EQ(parseCommand(args), std::nullopt) << ::testing::PrintToString(args);
  }
}

}  // namespace
}  // namespace pfctl
