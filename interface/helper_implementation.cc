#include "interface/helper_implementation.h"

#include "processes/process_listings.h"

namespace interface {

const std::vector<std::string>& HelperImplementation::availableSelectors() {
  static const std::vector<std::string> selectors = {kFetchDetailedProcesses, kFetchAllProcessData};
  return selectors;
}

void HelperImplementation::fetchSystemProcessesWithCompletion(ListingReply reply) {
  reply({});  // not exported in this build
}

void HelperImplementation::fetchDetailedProcessesWithCompletion(ListingReply reply) {
  forwardListing(reply, processes::fetchDetailedProcesses);
}

void HelperImplementation::fetchAllProcessDataWithCompletion(ListingReply reply) {
  forwardListing(reply, processes::fetchAllProcessData);
}

void HelperImplementation::terminateProcessWithPid(std::int64_t, FlagReply reply) {
  reply(false);  // not exported in this build
}

void HelperImplementation::uninstallAppAt(const std::optional<std::string>&,
                                          FlagMessageReply reply) {
  reply({false, std::nullopt});  // not exported in this build
}

void HelperImplementation::applyFirewallWithEnable(bool, const std::optional<common::Array>&,
                                                   const std::optional<common::Array>&,
                                                   const std::optional<common::Array>&,
                                                   const std::optional<common::Array>&,
                                                   FlagMessageReply reply) {
  reply({false, std::nullopt});  // not exported in this build
}

void HelperImplementation::sendSignalWithPid(std::int64_t, const std::optional<std::string>&,
                                             FlagReply reply) {
  reply(false);  // not exported in this build
}

}  // namespace interface
