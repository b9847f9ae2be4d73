#include "interface/helper_protocol.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace interface {
namespace {

using common::Array;
using common::Nil;
using common::Value;

// Records each call's arguments; replies as told.
class Recorder final : public HelperProtocol {
 public:
  std::string called;
  Array args;
  bool throwFirst = false;

  void fetchSystemProcessesWithCompletion(ListingReply reply) override {
    called = "system";
    maybeThrow();
    reply({"a", "b"});
  }
  void fetchDetailedProcessesWithCompletion(ListingReply reply) override {
    called = "detailed";
    maybeThrow();
    reply({});
  }
  void fetchAllProcessDataWithCompletion(ListingReply reply) override {
    called = "data";
    reply({"x"});
  }
  void terminateProcessWithPid(std::int64_t pid, FlagReply reply) override {
    called = "terminate";
    args = {Value(pid)};
    maybeThrow();
    reply(true);
  }
  void uninstallAppAt(const std::optional<std::string>& path, FlagMessageReply reply) override {
    called = "uninstall";
    args = {path ? Value(*path) : Value(Nil{})};
    maybeThrow();
    reply({true, std::nullopt});
  }
  void applyFirewallWithEnable(bool enable, const std::optional<Array>& a,
                               const std::optional<Array>& b, const std::optional<Array>& c,
                               const std::optional<Array>& d, FlagMessageReply reply) override {
    called = "firewall";
    auto v = [](const std::optional<Array>& x) { return x ? Value(*x) : Value(Nil{}); };
    args = {Value(enable), v(a), v(b), v(c), v(d)};
    reply({false, ""});
  }
  void sendSignalWithPid(std::int64_t pid, const std::optional<std::string>& signal,
                         FlagReply reply) override {
    called = "signal";
    args = {Value(pid), signal ? Value(*signal) : Value(Nil{})};
    reply(false);
  }

 private:
  void maybeThrow() {
    if (throwFirst) throw std::runtime_error("boom");
  }
};

// Calls `selector` on `object` as the transport would; returns the reply.
Array call(HelperProtocol& object, const std::string& selector, Array arguments) {
  auto iface = HelperProtocol::interface();
  const auto* method = iface->find(selector);
  EXPECT_NE(method, nullptr) << selector;
  Array sent;
  int replies = 0;
  transport::ReplyBlock block([&](Array params) {
    ++replies;
    sent = std::move(params);
  });
  transport::Invocation inv{*method, std::move(arguments), block};
  object.invoke(inv);
  EXPECT_EQ(replies, 1) << selector;
  return sent;
}

TEST(HelperProtocol, HandsArgumentsOnAsTheyCameInSelectorOrder) {
  Recorder r;
  EXPECT_EQ(call(r, kFetchSystemProcesses, {}), (Array{Value(Array{Value("a"), Value("b")})}));
  EXPECT_EQ(call(r, kTerminateProcess, {Value(-5)}), Array{Value(true)});
  EXPECT_EQ(r.args, Array{Value(-5)});
  EXPECT_EQ(call(r, kUninstallApp, {Value(Nil{})}), (Array{Value(true), Value(Nil{})}));
  EXPECT_EQ(r.args, Array{Value(Nil{})});
  const Array inTcp{Value(22), Value("80")}, outUdp{Value(53)};
  EXPECT_EQ(call(r, kApplyFirewall,
                 {Value(true), Value(inTcp), Value(Nil{}), Value(Array{}), Value(outUdp)}),
            (Array{Value(false), Value("")}));
  EXPECT_EQ(r.args,
            (Array{Value(true), Value(inTcp), Value(Nil{}), Value(Array{}), Value(outUdp)}));
  EXPECT_EQ(call(r, kSendSignal, {Value(42), Value("-STOP")}), Array{Value(false)});
  EXPECT_EQ(r.args, (Array{Value(42), Value("-STOP")}));
}

TEST(HelperProtocol, AThrowingMethodStillRepliesOnceWithItsFailureShape) {
  Recorder r;
  r.throwFirst = true;
  EXPECT_EQ(call(r, kFetchDetailedProcesses, {}), Array{Value(Array{})});
  EXPECT_EQ(call(r, kTerminateProcess, {Value(1)}), Array{Value(false)});
  const Array reply = call(r, kUninstallApp, {Value("/Applications/X.app")});
  ASSERT_EQ(reply.size(), 2u);
  EXPECT_EQ(reply[0], Value(false));
  EXPECT_TRUE(reply[1].isString());
}

}  // namespace
}  // namespace interface
