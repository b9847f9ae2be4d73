#include "service/helper_delegate.h"

#include <memory>

#include "transport/diagnostics.h"

namespace service {

HelperDelegate::HelperDelegate(const interface::HelperServices& services,
                               const codesign::CodeSigningServices& codeSigning,
                               Diagnostics diagnostics)
    : expectedBundleID_("com.korvane.Korvane-Activity-Console"),
      expectedTeamID_("QX7ZK2M4PD"),
      services_(services),
      codeSigning_(codeSigning),
      diagnostics_(std::move(diagnostics)) {}

void HelperDelegate::say(std::string_view line) const {
  if (diagnostics_) {
    diagnostics_(line);
  } else {
    transport::writeStandardOutputLine(line);
  }
}

bool HelperDelegate::shouldAcceptNewConnection(transport::Listener&,
                                               transport::Connection& connection) {
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

bool HelperDelegate::isValidClient(transport::Connection& connection) {
  namespace sec = codesign;
  const transport::AuditToken* token = connection.auditToken();
  if (token == nullptr) {
    say("🚨 Failed to extract auditToken using KVC.");
    return false;
  }
  const sec::GuestAttributes attributes{*token};

  sec::SecCodeRef guest;
  sec::OSStatus status = codeSigning_.SecCodeCopyGuestWithAttributes(
      nullptr, attributes, sec::kSecCSDefaultFlags, &guest);
  if (status != sec::errSecSuccess || !guest) {
    say("🚨 Failed to get SecCode for incoming connection.");
    return false;
  }

  // Both values go in as they are, unescaped: they are the daemon's own constants.
  const std::string requirementText = "anchor apple generic and identifier \"" + expectedBundleID_ +
                                      "\" and certificate leaf[subject.OU] = \"" + expectedTeamID_ +
                                      "\"";
  sec::SecRequirementRef requirement;
  status = codeSigning_.SecRequirementCreateWithString(requirementText, sec::kSecCSDefaultFlags,
                                                       &requirement);
  if (status != sec::errSecSuccess || !requirement) {
    say("🚨 Failed to create SecRequirement.");
    return false;
  }

  status =
      codeSigning_.SecCodeCheckValidity(guest.get(), sec::kSecCSDefaultFlags, requirement.get());
  if (status != sec::errSecSuccess) {
    say("🚨 SECURITY AUDIT FAILED: Status code " + std::to_string(status));
    say("🚨 Make sure your Team ID and Bundle ID are correct and you are signing with an Apple "
        "Dev cert.");
    return false;
  }
  return true;
}

}  // namespace service
