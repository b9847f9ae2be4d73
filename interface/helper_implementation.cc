#include "interface/helper_implementation.h"

#include "control/app_removal.h"
#include "processes/process_listings.h"

namespace interface {

void HelperImplementation::forwardListing(ListingReply& reply,
                                          const std::function<common::Listing()>& routine) {
  reply(routine());
}

void HelperImplementation::fetchSystemProcessesWithCompletion(ListingReply reply) {
  forwardListing(reply, services_.systemProcesses);
}

void HelperImplementation::fetchDetailedProcessesWithCompletion(ListingReply reply) {
  forwardListing(reply, [this] { return processes::fetchDetailedProcesses(services_.processes); });
}

void HelperImplementation::fetchAllProcessDataWithCompletion(ListingReply reply) {
  forwardListing(reply, [this] { return processes::fetchAllProcessData(services_.processes); });
}

void HelperImplementation::terminateProcessWithPid(std::int64_t pid, FlagReply reply) {
  reply(control::terminateProcess(pid, services_.signaller));
}

void HelperImplementation::uninstallAppAt(const std::optional<std::string>& path,
                                          FlagMessageReply reply) {
  reply(control::uninstallApp(path.value_or(""), services_.ownFiles));
}

void HelperImplementation::applyFirewallWithEnable(bool enable,
                                                   const std::optional<common::Array>& inboundTCP,
                                                   const std::optional<common::Array>& outboundTCP,
                                                   const std::optional<common::Array>& inboundUDP,
                                                   const std::optional<common::Array>& outboundUDP,
                                                   FlagMessageReply reply) {
  const common::Array none;
  reply(services_.firewall.apply(enable, inboundTCP.value_or(none), outboundTCP.value_or(none),
                                 inboundUDP.value_or(none), outboundUDP.value_or(none)));
}

void HelperImplementation::sendSignalWithPid(std::int64_t pid,
                                             const std::optional<std::string>& signal,
                                             FlagReply reply) {
  reply(control::sendSignal(pid, signal.value_or(""), services_.runner, services_.signaller));
}

}  // namespace interface
