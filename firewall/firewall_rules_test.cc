#include "firewall/firewall_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "firewall/pf_conf.h"

namespace firewall {
namespace {

TEST(MakeFirewallRules, BuildsTheRulesText) {
  struct Case {
    const char* name;
    std::vector<std::int64_t> inTcp, outTcp, inUdp, outUdp;
    std::string rules;
  };
  const Case cases[] = {
      {"first worked example",
       {22, 80},
       {},
       {},
       {53},
       "block drop in inet proto tcp from any to any port { 22, 80 }\n"
       "block drop in inet6 proto tcp from any to any port { 22, 80 }\n"
       "block return out inet proto udp from any to any port { 53 }\n"
       "block return out inet6 proto udp from any to any port { 53 }\n"},
      {"second worked example: inbound UDP before outbound TCP",
       {22, 80},
       {25},
       {53, 123},
       {53},
       "block drop in inet proto tcp from any to any port { 22, 80 }\n"
       "block drop in inet6 proto tcp from any to any port { 22, 80 }\n"
       "block drop in inet proto udp from any to any port { 53, 123 }\n"
       "block drop in inet6 proto udp from any to any port { 53, 123 }\n"
       "block return out inet proto tcp from any to any port { 25 }\n"
       "block return out inet6 proto tcp from any to any port { 25 }\n"
       "block return out inet proto udp from any to any port { 53 }\n"
       "block return out inet6 proto udp from any to any port { 53 }\n"},
      {"all empty", {}, {}, {}, {}, ""},
      {"repeats kept in place, out-of-range and negative written as they come",
       {80, 22, 80},
       {},
       {70000, -1},
       {},
       "block drop in inet proto tcp from any to any port { 80, 22, 80 }\n"
       "block drop in inet6 proto tcp from any to any port { 80, 22, 80 }\n"
       "block drop in inet proto udp from any to any port { 70000, -1 }\n"
       "block drop in inet6 proto udp from any to any port { 70000, -1 }\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(makeFirewallRules(portListOf(c.inTcp), portListOf(c.outTcp), portListOf(c.inUdp),
                                portListOf(c.outUdp)),
              c.rules)
        << c.name;
  }
}

TEST(ToPortList, TakesEveryIntegerAsItCameAndRefusesAnythingElse) {
  PortListConversion converted =
      toPortList({common::Value(std::int64_t{INT64_MIN}),
                  common::Value(std::uint64_t{18446744073709551615u}), common::Value(22)},
                 "inboundTCP");
  ASSERT_TRUE(converted.ports);
  EXPECT_EQ(converted.ports->decimals,
            (std::vector<std::string>{"-9223372036854775808", "18446744073709551615", "22"}));

  struct Case {
    common::Value element;
    const char* kind;
  };
  const Case cases[] = {
      {common::Value(), "nil"},
      {common::Value(true), "a boolean"},
      {common::Value(80.0), "a floating-point number"},
      {common::Value("80"), "a string"},
      {common::Value(common::Binary{"P"}), "binary data"},
      {common::Value(common::Array{common::Value(80)}), "an array"},
      {common::Value(common::Map{}), "a map"},
  };
  for (const Case& c : cases) {
    PortListConversion refused =
        toPortList({common::Value(22), common::Value(443), c.element}, "outboundUDP");
    EXPECT_FALSE(refused.ports) << c.kind;
    EXPECT_EQ(refused.error, std::string("Invalid port in outboundUDP: element at index 2 is ") +
                                 c.kind + ", not an integer.");
  }
}

TEST(WithAnchorBlock, AppendsTheBlockOnlyWhenTheAnchorIsNotMentioned) {
  const std::string file = "/etc/pf.anchors/com.korvane.helper.firewall";
  const std::string block = anchorBlock(file);
  EXPECT_EQ(block,
            "\n# Korvane Firewall Anchor\nanchor \"com.korvane.helper.firewall\"\n"
            "load anchor \"com.korvane.helper.firewall\" from \"" +
                file + "\"\n");
  for (const char* pfConf : {"", "pass all", "# COM.KORVANE.HELPER.FIREWALL\n"}) {
    EXPECT_EQ(withAnchorBlock(pfConf, file), pfConf + block) << "no line feed added, case matters";
  }
  for (const char* mentions : {"# com.korvane.helper.firewall was here\n",
                               "anchor \"xcom.korvane.helper.firewallx\"", block.c_str()}) {
    EXPECT_EQ(withAnchorBlock(mentions, file), std::nullopt) << mentions;
  }
}

}  // namespace
}  // namespace firewall
