#include "service/helper_delegate.h"

#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "platform/fd_io.h"
#include "platform/libproc.h"
#include "service/caller_authorizer.h"
#include "transport/diagnostics.h"

namespace service {
namespace {

// `text` with control bytes and backslashes escaped: a peer names its own
// executable, and a line feed in that name must not forge a line of ours.
std::string escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || c == '\\') {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02x", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

// The operator's line about a refused peer.
std::string refusalNote(const transport::AuditToken* token, codesign::OSStatus status) {
  std::string note = "com.korvane.helper: refused ";
  if (token == nullptr) {
    note += "a peer without credentials";
  } else {
    char path[PATH_MAX + 1];
    const bool known = platform::ProcTable().pidPath(token->pid, path, sizeof path) > 0;
    note += "pid " + std::to_string(token->pid) + " uid " + std::to_string(token->uid) + " gid " +
            std::to_string(token->gid) + " executable " + (known ? escaped(path) : "unknown");
  }
  return note + ": " + codesign::SecCopyErrorMessageString(status) + " (status " +
         std::to_string(status) + ")";
}

}  // namespace

HelperDelegate::HelperDelegate(const interface::HelperServices& services,
                               const codesign::CodeSigningServices& codeSigning,
                               Diagnostics diagnostics, std::optional<gid_t> helperGroup)
    : expectedBundleID_("com.korvane.Korvane-Activity-Console"),
      expectedTeamID_("QX7ZK2M4PD"),
      services_(services),
      codeSigning_(codeSigning),
      diagnostics_(std::move(diagnostics)),
      helperGroup_(helperGroup) {}

void HelperDelegate::say(std::string_view line, Stream stream) const {
  if (diagnostics_) {
    diagnostics_(stream, line);
  } else if (stream == Stream::kOutput) {
    transport::writeStandardOutputLine(line);
  } else {
    platform::writeAll(STDERR_FILENO, std::string(line) + "\n");
  }
}

bool HelperDelegate::shouldAcceptNewConnection(transport::Listener&,
                                               transport::Connection& connection) {
  bool valid = false;
  codesign::OSStatus status = codesign::errSecCSInternalError;
  try {
    valid = isValidClient(connection, &status);
  } catch (...) {
    valid = false;  // admission refuses on any failure
    status = codesign::errSecCSInternalError;
  }
  if (!valid) {
    say("🚨 SECURITY WARNING: Rejected unauthorized XPC connection.");
    say(refusalNote(connection.auditToken(), status), Stream::kError);
    return false;
  }
  connection.setExportedInterface(interface::HelperProtocol::interface());
  const transport::AuditToken& token = *connection.auditToken();
  char path[PATH_MAX + 1];
  const bool known = platform::ProcTable().pidPath(token.pid, path, sizeof path) > 0;
  connection.setExportedObject(std::make_unique<interface::HelperImplementation>(
      services_, std::make_unique<CallerAuthorizer>(token, helperGroup_),
      interface::Caller{token.pid, token.uid, known ? path : "unknown"}));
  connection.resume();
  return true;
}

bool HelperDelegate::isValidClient(transport::Connection& connection, codesign::OSStatus* failure) {
  namespace sec = codesign;
  const transport::AuditToken* token = connection.auditToken();
  if (token == nullptr) {
    *failure = sec::errSecCSUnsupportedGuestAttributes;
    say("🚨 Failed to extract auditToken using KVC.");
    return false;
  }
  const sec::GuestAttributes attributes{*token};

  sec::SecCodeRef guest;
  sec::OSStatus& status = *failure;
  status = codeSigning_.SecCodeCopyGuestWithAttributes(nullptr, attributes, sec::kSecCSDefaultFlags,
                                                       &guest);
  if (status != sec::errSecSuccess || !guest) {
    if (status == sec::errSecSuccess) status = sec::errSecCSNoSuchCode;
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
    if (status == sec::errSecSuccess) status = sec::errSecCSReqInvalid;
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
