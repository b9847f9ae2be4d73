#include "client/helperctl.h"

#include <gtest/gtest.h>

namespace client {
namespace {

using common::Array;
using common::Value;
using Kind = Command::Kind;

Command parse(std::vector<std::string> args) {
  auto r = parseCommandLine(args);
  if (auto* e = std::get_if<std::string>(&r)) ADD_FAILURE() << *e;
  return std::get_if<Command>(&r) ? std::get<Command>(r) : Command{};
}

std::string usageError(std::vector<std::string> args) {
  auto r = parseCommandLine(args);
  return std::get_if<std::string>(&r) ? std::get<std::string>(r) : "(parsed)";
}

TEST(HelperctlArgs, ValuesMayStartWithADash) {
  Command c = parse({"signal", "-STOP", "42"});
  EXPECT_EQ(c.kind, Kind::kSignal);
  EXPECT_EQ(c.text, "-STOP");
  EXPECT_EQ(c.pid, 42);
  c = parse({"terminate", "-1"});
  EXPECT_EQ(c.kind, Kind::kTerminate);
  EXPECT_EQ(c.pid, -1);
  c = parse({"--json", "uninstall", "--json"});
  EXPECT_TRUE(c.json);
  EXPECT_EQ(c.text, "--json");
  c = parse({"signal", "", "7", "--json"});
  EXPECT_EQ(c.text, "");
  EXPECT_TRUE(c.json);
}

TEST(HelperctlArgs, FirewallCollectsPortListsPerOption) {
  Command c = parse({"firewall", "enable", "--inbound-tcp", "22,80", "--outbound-udp=53",
                     "--inbound-udp", "-1,70000", "--outbound-tcp", ""});
  EXPECT_EQ(c.kind, Kind::kFirewallEnable);
  EXPECT_EQ(c.inboundTCP, (Array{Value(22), Value(80)}));
  EXPECT_EQ(c.outboundUDP, Array{Value(53)});
  EXPECT_EQ(c.inboundUDP, (Array{Value(-1), Value(70000)}));
  EXPECT_TRUE(c.outboundTCP.empty());
  EXPECT_EQ(parse({"firewall", "disable"}).kind, Kind::kFirewallDisable);
}

TEST(HelperctlArgs, RefusesMalformedCommandLines) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--json"},
      {"bogus"},
      {"terminate"},
      {"terminate", "12x"},
      {"terminate", "99999999999999999999"},
      {"signal", "-STOP"},
      {"uninstall"},
      {"detailed-processes", "extra"},
      {"firewall"},
      {"firewall", "enable", "--inbound-tcp"},
      {"firewall", "enable", "--inbound-tcp", "22,,80"},
      {"firewall", "enable", "--inbound-tcp", "http"},
      {"firewall", "enable", "--sideways", "1"},
  };
  for (const auto& args : cases)
    EXPECT_NE(usageError(args), "(parsed)") << testing::PrintToString(args);
}

TEST(HelperctlOutput, PrintsRepliesPlainOrAsJson) {
  EXPECT_EQ(formatListing({"a|b", "c"}, false), "a|b\nc\n");
  EXPECT_EQ(formatListing({}, false), "");
  EXPECT_EQ(formatListing({"a\"b\\c\n\x01", "\xFF"}, true),
            "[\"a\\\"b\\\\c\\n\\u0001\",\"\xEF\xBF\xBD\"]\n");
  EXPECT_EQ(formatListing({}, true), "[]\n");
  EXPECT_EQ(formatFlag(true, false), "YES\n");
  EXPECT_EQ(formatFlag(false, true), "false\n");
  EXPECT_EQ(formatFlagMessage({true, std::nullopt}, true),
            "{\"success\": true, \"message\": null}\n");
  EXPECT_EQ(formatFlagMessage({false, ""}, true), "{\"success\": false, \"message\": \"\"}\n");
  EXPECT_EQ(formatFlagMessage({false, "File system error: x"}, false),
            "NO\nFile system error: x\n");
}

}  // namespace
}  // namespace client
