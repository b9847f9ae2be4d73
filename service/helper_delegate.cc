#include "service/helper_delegate.h"

#include <memory>

#include "platform/diagnostics.h"

namespace service {

HelperDelegate::HelperDelegate(const interface::HelperServices& services, Diagnostics diagnostics)
    : expectedBundleID_("com.korvane.Korvane-Activity-Console"),
      expectedTeamID_("QX7ZK2M4PD"),
      services_(services),
      diagnostics_(std::move(diagnostics)) {}

void HelperDelegate::say(std::string_view line) const {
  if (diagnostics_) {
    diagnostics_(line);
  } else {
    platform::writeStandardOutputLine(line);
  }
}

bool HelperDelegate::shouldAcceptNewConnection(platform::xpc::Listener&,
                                               platform::xpc::Connection& connection) {
  bool valid = false;
  try {
    valid = isValidClient(connection);
  } catch (...) {
    valid = false;  // admission refuses on any failure
  }
  if (!valid) {
    say("🚨 SECURITY WARNING: Rejected unauthorized XPC connection.");
    return false;
  }
  connection.setExportedInterface(interface::HelperProtocol::interface());
  connection.setExportedObject(std::make_unique<interface::HelperImplementation>(services_));
  connection.resume();
  return true;
}

// Interim gate until code signatures are checked: only root's processes.
bool HelperDelegate::isValidClient(platform::xpc::Connection& connection) {
  const platform::AuditToken* token = connection.auditToken();
  if (token == nullptr) {
    say("🚨 Failed to extract auditToken using KVC.");
    return false;
  }
  return token->uid == 0;
}

}  // namespace service
