// HelperProtocol: the one interface the daemon exports to its client, with
// its seven operations, their selectors and their extended type encodings.
//
// The encodings are the arm64 forms (BOOL as `B`); on x86_64 the runtime
// writes `c` for BOOL and nothing else differs. The wire carries the `B`
// form on every architecture, and the transport accepts exactly that form.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/replies.h"
#include "common/value.h"
#include "transport/xpc.h"

namespace interface {

inline constexpr const char* kFetchSystemProcesses = "fetchSystemProcessesWithCompletion:";
inline constexpr const char* kFetchDetailedProcesses = "fetchDetailedProcessesWithCompletion:";
inline constexpr const char* kFetchAllProcessData = "fetchAllProcessDataWithCompletion:";
inline constexpr const char* kTerminateProcess = "terminateProcessWithPid:completion:";
inline constexpr const char* kUninstallApp = "uninstallAppAt:completion:";
inline constexpr const char* kApplyFirewall =
    "applyFirewallWithEnable:inboundTCP:outboundTCP:inboundUDP:outboundUDP:withReply:";
inline constexpr const char* kSendSignal = "sendSignalWithPid:signal:completion:";

inline constexpr const char* kListingEncoding = "v24@0:8@?<v@?@\"NSArray\">16";
inline constexpr const char* kTerminateEncoding = "v32@0:8q16@?<v@?B>24";
inline constexpr const char* kUninstallEncoding = "v32@0:8@\"NSString\"16@?<v@?B@\"NSString\">24";
inline constexpr const char* kFirewallEncoding =
    "v60@0:8B16@\"NSArray\"20@\"NSArray\"28@\"NSArray\"36@\"NSArray\"44@?<v@?B@\"NSString\">52";
inline constexpr const char* kSendSignalEncoding = "v40@0:8q16@\"NSString\"24@?<v@?B>32";

// (selector, extended type encoding) of the seven methods, in the protocol's order.
const std::vector<std::pair<std::string, std::string>>& helperProtocolMethods();

// The extended type encoding of `selector`, or nullptr for an unknown one.
const char* helperProtocolEncoding(const std::string& selector);

// Reply blocks, one per reply shape. Each wraps the transport's reply block,
// which refuses a second call.
class ListingReply {
 public:
  explicit ListingReply(transport::ReplyBlock& block) : block_(block) {}
  // Takes the records over: each is moved, not copied, into the reply.
  void operator()(korvane::Listing list);
  // In place of a listing: the caller may not have one (the transport's
  // "not-authorized" frame, then the connection ends).
  void refuse() { block_.refuse(); }

 private:
  transport::ReplyBlock& block_;
};

class FlagReply {
 public:
  explicit FlagReply(transport::ReplyBlock& block) : block_(block) {}
  void operator()(bool success);

 private:
  transport::ReplyBlock& block_;
};

class FlagMessageReply {
 public:
  explicit FlagMessageReply(transport::ReplyBlock& block) : block_(block) {}
  void operator()(const korvane::FlagMessage& result);

 private:
  transport::ReplyBlock& block_;
};

// The protocol as an exported object: invoke() decodes a request that the
// transport has already checked against the interface and calls the matching
// method, arguments as they came (nil as nullopt). Every method must call its
// reply exactly once before it returns. If a method throws, invoke() sends
// the failure reply of its shape (an empty listing, NO) unless it had
// replied already.
class HelperProtocol : public transport::ExportedObject {
 public:
  // The table of the protocol's methods (a new one each call).
  static std::shared_ptr<const transport::MethodTable> interface();

  virtual void fetchSystemProcessesWithCompletion(ListingReply reply) = 0;
  virtual void fetchDetailedProcessesWithCompletion(ListingReply reply) = 0;
  virtual void fetchAllProcessDataWithCompletion(ListingReply reply) = 0;
  virtual void terminateProcessWithPid(std::int64_t pid, FlagReply reply) = 0;
  virtual void uninstallAppAt(const std::optional<std::string>& path, FlagMessageReply reply) = 0;
  virtual void applyFirewallWithEnable(bool enable, const std::optional<common::Array>& inboundTCP,
                                       const std::optional<common::Array>& outboundTCP,
                                       const std::optional<common::Array>& inboundUDP,
                                       const std::optional<common::Array>& outboundUDP,
                                       FlagMessageReply reply) = 0;
  virtual void sendSignalWithPid(std::int64_t pid, const std::optional<std::string>& signal,
                                 FlagReply reply) = 0;

  void invoke(transport::Invocation& invocation) final;
};

}  // namespace interface
