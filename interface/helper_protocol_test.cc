#include "interface/helper_protocol.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace interface {
namespace {

using common::Array;
using common::Value;

// Every method throws before it replies, except the firewall's, which
// replies and then throws.
class Thrower final : public HelperProtocol {
  void fetchSystemProcessesWithCompletion(ListingReply) override { fail(); }
  void fetchDetailedProcessesWithCompletion(ListingReply) override { fail(); }
  void fetchAllProcessDataWithCompletion(ListingReply) override { fail(); }
  void terminateProcessWithPid(std::int64_t, FlagReply) override { fail(); }
  void uninstallAppAt(const std::optional<std::string>&, FlagMessageReply) override { fail(); }
  void applyFirewallWithEnable(bool, const std::optional<Array>&, const std::optional<Array>&,
                               const std::optional<Array>&, const std::optional<Array>&,
                               FlagMessageReply reply) override {
    reply({true, std::nullopt});
    fail();
  }
  void sendSignalWithPid(std::int64_t, const std::optional<std::string>&, FlagReply) override {
    fail();
  }
  static void fail() { throw std::runtime_error("boom"); }
};

TEST(HelperProtocol, AThrowingMethodStillRepliesExactlyOnceInItsShape) {
  const Value nil{common::Nil{}};
  const Array failed{Value(false), Value("The helper failed to carry out the request.")};
  const struct {
    const char* selector;
    Array arguments;
    Array reply;
  } cases[] = {
      {kFetchSystemProcesses, {}, {Value(Array{})}},
      {kTerminateProcess, {Value(1)}, {Value(false)}},
      {kUninstallApp, {Value("/Applications/X.app")}, failed},
      {kApplyFirewall, {Value(true), nil, nil, nil, nil}, {Value(true), nil}},
  };
  Thrower object;
  const auto iface = HelperProtocol::interface();
  for (const auto& c : cases) {
    const auto* method = iface->find(c.selector);
    ASSERT_NE(method, nullptr) << c.selector;
    std::vector<Array> replies;
    transport::ReplyBlock block([&](Array params) { replies.push_back(std::move(params)); });
    transport::Invocation invocation{*method, c.arguments, block};
    object.invoke(invocation);
    EXPECT_EQ(replies, std::vector<Array>{c.reply}) << c.selector;
  }
}

}  // namespace
}  // namespace interface
