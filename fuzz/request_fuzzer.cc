// A request passing the interface's check gets exactly one reply of its declared shape;
// one that does not is refused with a reason.
#include <cassert>
#include <cstdint>
#include <string>

#include "interface/helper_protocol.h"
#include "transport/message.h"

using interface::FlagMessageReply;
using interface::FlagReply;
using interface::ListingReply;
using OptionalArray = std::optional<common::Array>;

struct Replier final : interface::HelperProtocol {
  void fetchSystemProcessesWithCompletion(ListingReply r) override { r({"a"}); }
  void fetchDetailedProcessesWithCompletion(ListingReply r) override { r({}); }
  void fetchAllProcessDataWithCompletion(ListingReply r) override { r({}); }
  void terminateProcessWithPid(std::int64_t, FlagReply r) override { r(true); }
  void uninstallAppAt(const std::optional<std::string>&, FlagMessageReply r) override { r({}); }
  void applyFirewallWithEnable(bool, const OptionalArray&, const OptionalArray&,
                               const OptionalArray&, const OptionalArray&,
                               FlagMessageReply r) override {
    r({true, "m"});
  }
  void sendSignalWithPid(std::int64_t, const std::optional<std::string>&, FlagReply r) override {
    r(false);
  }
};

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto iface = interface::HelperProtocol::interface();
  auto request = transport::decodeRequest({reinterpret_cast<const char*>(data), size});
  if (!request) return 0;
  std::string err;
  const transport::MethodDescription* method =
      iface->methodFor(request->selector, request->typeEncoding, request->arguments, &err);
  assert(method != nullptr || !err.empty());
  if (method == nullptr) return 0;
  int replies = 0;
  transport::ReplyBlock reply([&](common::Array params) {
    ++replies;
    const auto& shape = method->signature.replyParameters;
    assert(params.size() == shape.size());
    for (std::size_t i = 0; i < shape.size(); ++i) assert(transport::fits(params[i], shape[i]));
  });
  transport::Invocation invocation{*method, std::move(request->arguments), reply};
  Replier().invoke(invocation);
  assert(replies == 1);
  return 0;
}
