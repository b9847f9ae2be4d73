// HelperDelegate: decides for every new connection whether it is served, and
// gives each admitted connection the protocol's interface and a
// HelperImplementation of its own.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "codesign/security.h"
#include "interface/helper_implementation.h"
#include "transport/xpc.h"

namespace service {

class HelperDelegate final : public transport::ListenerDelegate {
 public:
  // Where a diagnostic line goes: the refusal lines to standard output, the
  // note naming the refused peer for the operator to standard error.
  enum class Stream { kOutput, kError };
  // Receives each diagnostic line (without its line feed); by default they
  // are written to their stream.
  using Diagnostics = std::function<void(Stream, std::string_view)>;

  // `codeSigning` checks callers' signatures; it must outlive the delegate.
  // Members of `helperGroup` act without polkit, as root does.
  HelperDelegate(const interface::HelperServices& services,
                 const codesign::CodeSigningServices& codeSigning,
                 Diagnostics diagnostics = nullptr,
                 std::optional<gid_t> helperGroup = std::nullopt);

  // Runs isValidClient; on success exports the interface and a new
  // HelperImplementation (with a CallerAuthorizer for the peer), resumes the connection and answers
  // true; on failure writes the rejection warning, then one line on standard error naming the peer
  // (pid, uid, gid, executable) and the failing status, and answers false. Any thread.
  bool shouldAcceptNewConnection(transport::Listener& listener,
                                 transport::Connection& connection) override;

 private:
  // True when the peer's code signature is valid and satisfies the
  // requirement built from the expected bundle identifier and Team ID;
  // writes its own lines on failure and sets `status` to the failing step's
  // status. Holds nothing after it returns.
  bool isValidClient(transport::Connection& connection, codesign::OSStatus* status);
  void say(std::string_view line, Stream stream = Stream::kOutput) const;

  const std::string expectedBundleID_;
  const std::string expectedTeamID_;
  interface::HelperServices services_;
  const codesign::CodeSigningServices& codeSigning_;
  Diagnostics diagnostics_;
  std::optional<gid_t> helperGroup_;
};

}  // namespace service
