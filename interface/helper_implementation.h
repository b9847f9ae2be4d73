// HelperImplementation: receives the protocol's calls on one connection,
// converts the arguments (nil string -> "", nil list -> empty list), runs the
// working routine on the calling thread and replies once with its result.
// It keeps no state between calls; the services it is given are shared by
// every connection and safe to use from any thread.
#pragma once

#include "interface/helper_protocol.h"
#include "processes/process_source.h"

namespace interface {

struct HelperServices {
  processes::ProcessSource& processes;
};

class HelperImplementation final : public HelperProtocol {
 public:
  explicit HelperImplementation(const HelperServices& services) : services_(services) {}

  // The selectors whose working routines this build has; the others are
  // not exported.
  static const std::vector<std::string>& availableSelectors();

  void fetchSystemProcessesWithCompletion(ListingReply reply) override;
  void fetchDetailedProcessesWithCompletion(ListingReply reply) override;
  void fetchAllProcessDataWithCompletion(ListingReply reply) override;
  void terminateProcessWithPid(std::int64_t pid, FlagReply reply) override;
  void uninstallAppAt(const std::optional<std::string>& path, FlagMessageReply reply) override;
  void applyFirewallWithEnable(bool enable, const std::optional<common::Array>& inboundTCP,
                               const std::optional<common::Array>& outboundTCP,
                               const std::optional<common::Array>& inboundUDP,
                               const std::optional<common::Array>& outboundUDP,
                               FlagMessageReply reply) override;
  void sendSignalWithPid(std::int64_t pid, const std::optional<std::string>& signal,
                         FlagReply reply) override;

 private:
  // The three listing handlers share this forwarder.
  template <typename Routine>
  void forwardListing(ListingReply& reply, Routine routine) {
    reply(routine(services_.processes));
  }

  HelperServices services_;
};

}  // namespace interface
