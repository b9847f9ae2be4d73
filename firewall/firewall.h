// The firewall operation: installs the anchor's rules and switches pf on
// (enable), or flushes the anchor (disable), driving pf only through pfctl.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "common/replies.h"
#include "common/value.h"
#include "control/command_runner.h"
#include "firewall/firewall_rules.h"

namespace firewall {

// Where the firewall finds pf's files and tool. The defaults are the system's;
// tests point them into a temporary folder.
struct FirewallPaths {
  std::string anchorFolder{kAnchorFolder};
  std::string pfConf = "/etc/pf.conf";
  std::string pfctl = "/sbin/pfctl";

  // anchorFolder + "/" + kAnchorName.
  std::string anchorFile() const;
};

// How long a request waits for the one before it: longer than a request can
// hold the firewall, which is one tool run at its deadline and a few short
// steps, since a run that hit its deadline ends its request.
inline constexpr std::chrono::milliseconds kFirewallLockWait =
    control::kToolDeadline + std::chrono::seconds(5);

// The firewall as the request handler sees it: the seam in front of pf.
class Firewall {
 public:
  virtual ~Firewall() = default;
  // Carries out one firewall request and returns its reply: PfFirewall::apply
  // is the contract. Thread-safe; never throws.
  virtual korvane::FlagMessage apply(bool enable, const std::vector<common::Value>& inboundTCP,
                                     const std::vector<common::Value>& outboundTCP,
                                     const std::vector<common::Value>& inboundUDP,
                                     const std::vector<common::Value>& outboundUDP) = 0;
};

// The machine's pf, driven through pfctl.
class PfFirewall final : public Firewall {
 public:
  // `runner` must outlive this object.
  explicit PfFirewall(control::CommandRunner& runner, FirewallPaths paths = {},
                      std::chrono::milliseconds lockWait = kFirewallLockWait);

  // Carries out one firewall request and returns its reply.
  //
  // Disable: runs `pfctl -a <anchor> -F all`, looks at no list and touches no
  // file. Replies {true, "Korvane Firewall Rules Flushed"} when pfctl exits
  // with 0; {false, "Failed to flush anchor rules: pfctl was killed by signal
  // N."} or {false, "Failed to flush anchor rules: pfctl -a ... did not finish
  // within 20 s; it was killed."} when it did not exit; else
  // {false, "Failed to flush anchor rules."}.
  //
  // Enable: refuses the request with {false, <which element is not a port>}
  // before anything else when a list holds an element that is not an integer
  // from 0 to 65535.
  // Then writes makeFirewallRules(...) to the anchor file; reads pf.conf and,
  // when it does not mention the anchor, appends the anchor block, writes it
  // back and runs `pfctl -f <pf.conf>`; then runs
  // `pfctl -a <anchor> -f <anchor file>` and `pfctl -E`. A file step that fails
  // ends the request with {false, "File system error: " + description}. Else
  // the anchor-load run decides: exit 0 gives {true, nullopt} (no message),
  // any other status s (-1: pfctl could not be started) gives
  // {false, "pfctl failed to load anchor with exit code <s>."}, a signal N
  // {false, "pfctl failed to load anchor: it was killed by signal N."}.
  // A run that reaches the runner's deadline ends the request there with
  // {false, "pfctl ARGUMENTS did not finish within 20 s; it was killed."}.
  //
  // Thread-safe. Requests are serialised process-wide, across all Firewall
  // objects: each holds one lock from start to reply, so pf.conf gains the
  // block only once and an enable and a disable never interleave. A request
  // that cannot have the lock within `lockWait` replies
  // {false, "another firewall change is in progress"}. Never throws.
  korvane::FlagMessage apply(bool enable, const std::vector<common::Value>& inboundTCP,
                             const std::vector<common::Value>& outboundTCP,
                             const std::vector<common::Value>& inboundUDP,
                             const std::vector<common::Value>& outboundUDP) override;

 private:
  korvane::FlagMessage enable(const std::vector<common::Value>& inboundTCP,
                              const std::vector<common::Value>& outboundTCP,
                              const std::vector<common::Value>& inboundUDP,
                              const std::vector<common::Value>& outboundUDP);
  korvane::FlagMessage disable();

  control::CommandRunner& runner_;
  FirewallPaths paths_;
  std::chrono::milliseconds lockWait_;
};

}  // namespace firewall
