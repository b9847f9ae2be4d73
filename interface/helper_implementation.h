// HelperImplementation: receives the protocol's calls on one connection,
// converts the arguments (nil string -> "", nil list -> empty list), asks the
// connection's Authorizer whether the caller may, runs the working routine on
// the calling thread and replies once with its result. A denied listing is
// refused with the transport's "not-authorized" frame; a denied terminate or
// signal replies NO; a denied uninstall or firewall request replies NO with
// "Not authorized: ACTION". Every act and every denial is recorded (a
// listing only when denied); a terminate or signal refused before anyone is
// asked (no such process, an id or signal kill would refuse) is neither. The
// one thing it keeps between calls is a kept process table for the
// connection's process-data listings, when the source gives one; the
// services it is given are shared by every connection and safe to use from
// any thread.
#pragma once

#include <functional>
#include <string>

#include "control/app_removal.h"
#include "control/command_runner.h"
#include "control/process_signals.h"
#include "firewall/firewall.h"
#include "interface/authorizer.h"
#include "interface/helper_protocol.h"
#include "processes/process_source.h"
#include "processes/system_processes.h"

namespace interface {

// The machine-facing services, each behind its seam; built once in main
// (tests pass fakes), shared by every connection, outliving them all.
struct HelperServices {
  processes::ProcessSource& processes;
  processes::SystemProcessLister& ps;
  control::CommandRunner& runner;
  control::ProcessSignaller& signaller;
  control::SignalTargets& targets;
  control::AppRemover& remover;  // spares the helper's own files
  firewall::Firewall& firewall;
  // Where the record of every act and denial goes, and the note of a failure
  // no reply tells of (a ps listing that failed replies an empty listing).
  authorization::Journal& journal;
};

class HelperImplementation final : public HelperProtocol {
 public:
  // `authorizer` decides for `caller`, the connection's peer.
  HelperImplementation(const HelperServices& services, std::unique_ptr<Authorizer> authorizer,
                       Caller caller)
      : services_(services), authorizer_(std::move(authorizer)), caller_(std::move(caller)) {}

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
  void forwardListing(ListingReply& reply, const std::function<korvane::Listing()>& routine);
  // A record of the caller, with who authorized `action` set (asked here).
  authorization::AuditRecord authorize(const char* action, const authorization::Details& details);
  // Terminate and signal: refuses a malformed request (`wellFormed` false) or
  // a missing target outright; else authorizes, checks the target is still
  // the one asked about, then runs `act`; records and replies.
  void signalWithAuthorization(std::int64_t pid, const std::string& signal, bool wellFormed,
                               FlagReply& reply, const std::function<bool()>& act);
  void finish(authorization::AuditRecord& record, bool success,
              const std::optional<std::string>& message);

  HelperServices services_;
  std::unique_ptr<Authorizer> authorizer_;
  Caller caller_;
  std::unique_ptr<processes::ProcessTable> keptTable_;
};

}  // namespace interface
