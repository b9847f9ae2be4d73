// HelperImplementation: receives the protocol's calls on one connection,
// converts the arguments (nil string -> "", nil list -> empty list), runs the
// working routine on the calling thread and replies once with its result.
// It keeps no state between calls; the services it is given are shared by
// every connection and safe to use from any thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "control/command_runner.h"
#include "control/process_signals.h"
#include "firewall/firewall.h"
#include "interface/helper_protocol.h"
#include "processes/process_source.h"

namespace interface {

// The machine-facing services; built once in main (tests pass fakes).
struct HelperServices {
  processes::ProcessSource& processes;
  control::CommandRunner& runner;
  control::ProcessSignaller& signaller;
  firewall::Firewall& firewall;
  // The ps listing; replaceable so tests need not depend on /bin/ps.
  std::function<common::Listing()> systemProcesses;
  // The helper's own files (socket, lock, executable), which removal refuses.
  std::vector<std::string> ownFiles = {};
};

class HelperImplementation final : public HelperProtocol {
 public:
  explicit HelperImplementation(const HelperServices& services) : services_(services) {}

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
  static void forwardListing(ListingReply& reply, const std::function<common::Listing()>& routine);

  HelperServices services_;
};

}  // namespace interface
