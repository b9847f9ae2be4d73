// The firewall operation: installs the anchor's rules and switches pf on
// (enable), or flushes the anchor (disable), driving pf only through pfctl.
#pragma once

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
  std::string anchorFolder = "/etc/pf.anchors";
  std::string pfConf = "/etc/pf.conf";
  std::string pfctl = "/sbin/pfctl";

  // anchorFolder + "/" + kAnchorName.
  std::string anchorFile() const;
};

class Firewall {
 public:
  // `runner` must outlive this object.
  explicit Firewall(control::CommandRunner& runner, FirewallPaths paths = {});

  // Carries out one firewall request and returns its reply.
  //
  // Disable: runs `pfctl -a <anchor> -F all`, looks at no list and touches no
  // file. Replies {true, "Korvane Firewall Rules Flushed"} when pfctl exits
  // with 0, else {false, "Failed to flush anchor rules."}.
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
  // {false, "pfctl failed to load anchor with exit code <s>."}.
  //
  // Thread-safe. Requests are serialised process-wide, across all Firewall
  // objects: each holds one lock from start to reply, so pf.conf gains the
  // block only once and an enable and a disable never interleave. Never throws.
  common::FlagMessage apply(bool enable, const std::vector<common::Value>& inboundTCP,
                            const std::vector<common::Value>& outboundTCP,
                            const std::vector<common::Value>& inboundUDP,
                            const std::vector<common::Value>& outboundUDP);

 private:
  common::FlagMessage enable(const std::vector<common::Value>& inboundTCP,
                             const std::vector<common::Value>& outboundTCP,
                             const std::vector<common::Value>& inboundUDP,
                             const std::vector<common::Value>& outboundUDP);
  common::FlagMessage disable();

  control::CommandRunner& runner_;
  FirewallPaths paths_;
};

}  // namespace firewall
