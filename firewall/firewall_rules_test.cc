#include "firewall/firewall_rules.h"

#include <gtest/gtest.h>

namespace firewall {
namespace {

PortList ports(std::vector<std::string> decimals) { return PortList{std::move(decimals)}; }

TEST(MakeFirewallRules, BuildsTheRulesText) {
  EXPECT_EQ(
      makeFirewallRules(ports({"22", "80"}), ports({"25"}), ports({"53", "123"}), ports({"53"})),
      "block drop in inet proto tcp from any to any port { 22, 80 }\n"
      "block drop in inet6 proto tcp from any to any port { 22, 80 }\n"
      "block drop in inet proto udp from any to any port { 53, 123 }\n"
      "block drop in inet6 proto udp from any to any port { 53, 123 }\n"
      "block return out inet proto tcp from any to any port { 25 }\n"
      "block return out inet6 proto tcp from any to any port { 25 }\n"
      "block return out inet proto udp from any to any port { 53 }\n"
      "block return out inet6 proto udp from any to any port { 53 }\n");
  EXPECT_EQ(makeFirewallRules({}, {}, {}, {}), "");
  // Repeats stay in place; out-of-range and negative ports are written as they came.
  EXPECT_EQ(makeFirewallRules({}, ports({"80", "22", "80"}), {}, ports({"70000", "-1"})),
            "block return out inet proto tcp from any to any port { 80, 22, 80 }\n"
            "block return out inet6 proto tcp from any to any port { 80, 22, 80 }\n"
            "block return out inet proto udp from any to any port { 70000, -1 }\n"
            "block return out inet6 proto udp from any to any port { 70000, -1 }\n");
}

TEST(ToPortList, TakesEveryIntegerAsItCameAndRefusesAnythingElse) {
  PortList list;
  std::string err;
  ASSERT_TRUE(toPortList({common::Value(std::int64_t{INT64_MIN}),
                          common::Value(std::uint64_t{18446744073709551615u}), common::Value(22)},
                         "inboundTCP", &list, &err));
  EXPECT_EQ(list, ports({"-9223372036854775808", "18446744073709551615", "22"}));

  const std::pair<common::Value, const char*> refused[] = {
      {common::Value(), "nil"},
      {common::Value(true), "a boolean"},
      {common::Value(80.0), "a floating-point number"},
      {common::Value("80"), "a string"},
      {common::Value(common::Binary{"P"}), "binary data"},
      {common::Value(common::Array{common::Value(80)}), "an array"},
      {common::Value(common::Map{}), "a map"},
  };
  for (const auto& [element, kind] : refused) {
    EXPECT_FALSE(
        toPortList({common::Value(22), common::Value(443), element}, "outboundUDP", &list, &err));
    EXPECT_EQ(err, std::string("Invalid port in outboundUDP: element at index 2 is ") + kind +
                       ", not an integer.");
  }
}

TEST(AppendAnchorBlock, AppendsTheBlockOnlyWhenTheAnchorIsNotMentioned) {
  const std::string file = "/etc/pf.anchors/com.korvane.helper.firewall";
  const std::string block =
      "\n# Korvane Firewall Anchor\nanchor \"com.korvane.helper.firewall\"\n"
      "load anchor \"com.korvane.helper.firewall\" from \"" +
      file + "\"\n";
  // No line feed added before the block; the name's case matters.
  for (const std::string original : {"", "pass all", "# COM.KORVANE.HELPER.FIREWALL\n"}) {
    std::string conf = original;
    EXPECT_TRUE(appendAnchorBlock(&conf, file));
    EXPECT_EQ(conf, original + block);
  }
  for (const std::string mentions : {"# com.korvane.helper.firewall was here\n",
                                     "anchor \"xcom.korvane.helper.firewallx\"", block.c_str()}) {
    std::string conf = mentions;
    EXPECT_FALSE(appendAnchorBlock(&conf, file)) << mentions;
    EXPECT_EQ(conf, mentions);
  }
}

}  // namespace
}  // namespace firewall
