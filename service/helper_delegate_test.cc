#include "service/helper_delegate.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "codesign/testsupport/test_pki.h"
#include "control/posix_command_runner.h"
#include "control/process_signals.h"
#include "firewall/firewall.h"
#include "platform/subprocess.h"
#include "testsupport/testsupport.h"

namespace service {
namespace {

namespace sec = codesign;
using Steps = std::vector<std::string>;

// Listener, connection and Security framework staged and recording for one delegate.
class Rig final : public transport::Listener,
                  public transport::Connection,
                  public sec::CodeSigningServices {
 public:
  bool admit() {
    HelperDelegate delegate(
        services_, *this, [this](HelperDelegate::Stream stream, std::string_view line) {
          (stream == HelperDelegate::Stream::kOutput ? lines : notes).emplace_back(line);
        });
    return delegate.shouldAcceptNewConnection(*this, *this);
  }

  void setDelegate(transport::ListenerDelegate*) override { steps.push_back("delegate"); }
  const transport::AuditToken* auditToken() const override { return token ? &*token : nullptr; }
  void setExportedInterface(std::shared_ptr<const transport::MethodTable> i) override {
    steps.push_back("interface:" + std::to_string(i->methods().size()));
  }
  void setExportedObject(std::unique_ptr<transport::ExportedObject> o) override {
    steps.push_back(o ? "object" : "null object");
  }
  void resume() override { steps.push_back("resume"); }  // the listener's or the connection's
  void beginStop() override {}
  std::size_t waitUntilStopped(std::chrono::steady_clock::time_point) override { return 0; }

  sec::OSStatus SecCodeCopyGuestWithAttributes(const sec::SecCode*, const sec::GuestAttributes& a,
                                               sec::SecCSFlags,
                                               sec::SecCodeRef* guest) const override {
    ++calls;
    guestPid = a.audit ? a.audit->pid : -1;
    if (guestStatus == 0) *guest = std::make_unique<sec::SecCode>(platform::UniqueFd(), guestPid);
    return guestStatus;
  }
  sec::OSStatus SecRequirementCreateWithString(std::string_view text, sec::SecCSFlags,
                                               sec::SecRequirementRef* requirement) const override {
    ++calls;
    requirementText = text;
    if (requirementStatus == 0) {
      *requirement = std::make_unique<sec::SecRequirement>(*sec::compileRequirement(text));
    }
    return requirementStatus;
  }
  sec::OSStatus SecCodeCheckValidity(const sec::SecCode*, sec::SecCSFlags,
                                     const sec::SecRequirement*) const override {
    ++calls;
    if (throwInValidity) throw std::runtime_error("boom");
    return validityStatus;
  }

  std::optional<transport::AuditToken> token = transport::AuditToken{-1, 501, 20, 7};
  sec::OSStatus guestStatus = 0, requirementStatus = 0, validityStatus = 0;
  bool throwInValidity = false;
  Steps steps, lines, notes;
  mutable std::string requirementText;
  mutable pid_t guestPid = 0;
  mutable int calls = 0;

 private:
  control::PosixCommandRunner runner_;
  control::PosixProcessSignaller signaller_;
  control::ProcfsSignalTargets targets_;
  firewall::PfFirewall firewall_{runner_};
  processes::SystemProcessSource processes_;
  processes::PsLister ps_;
  control::DiskAppRemover remover_{{}};
  authorization::SystemJournal journal_;
  interface::HelperServices services_ {
    processes_, ps_, runner_, signaller_, targets_, remover_, firewall_, journal_
  };
};

const char* kWarning = "🚨 SECURITY WARNING: Rejected unauthorized XPC connection.";

// A line feed in the peer's executable name (the peer chooses it) must not start a daemon line.
TEST(Admission, EachStepRefusesWithItsOwnLinesAndANoteNamingThePeer) {
  const testsupport::TempDir dir;
  std::filesystem::copy_file("/bin/sleep", dir.path() / "sl\neep\\");
  platform::Child peer = platform::Child::spawn(dir.path() / "sl\neep\\", {"100"}, {});
  const std::string named = "com.korvane.helper: refused pid " + std::to_string(peer.pid()) +
                            " uid 501 gid 20 executable " + dir.file("sl\\x0aeep\\x5c: ");
  const std::string noToken = "🚨 Failed to extract auditToken using KVC.",
                    noCode = "🚨 Failed to get SecCode for incoming connection.",
                    noRequirement = "🚨 Failed to create SecRequirement.",
                    failed = "🚨 SECURITY AUDIT FAILED: Status code ",
                    advice =
                        "🚨 Make sure your Team ID and Bundle ID are correct and you are "
                        "signing with an Apple Dev cert.";
  // clang-format off
  struct Case { const char* name; std::function<void(Rig&)> stage; Steps lines; int securityCalls;
                int status; };
  const Case cases[] = {
      {"valid", [](Rig&) {}, {}, 3, 0},
      {"no token", [](Rig& r) { r.token.reset(); }, {noToken, kWarning}, 0, -67067},
      {"no code", [](Rig& r) { r.guestStatus = -67034; }, {noCode, kWarning}, 1, -67034},
      {"bad requirement", [](Rig& r) { r.requirementStatus = -67052; },
       {noRequirement, kWarning}, 2, -67052},
      // A requirement not met (-67063) writes these lines too: AdmissionE2E reads them.
      {"positive status", [](Rig& r) { r.validityStatus = 7; }, {failed + "7", advice, kWarning}, 3, 7},
      {"exception", [](Rig& r) { r.throwInValidity = true; }, {kWarning}, 3, -67048},
  };
  // clang-format on
  for (const auto& c : cases) {
    Rig r;
    r.token->pid = peer.pid();
    c.stage(r);
    const bool valid = c.status == 0;
    EXPECT_EQ(r.admit(), valid) << c.name;
    EXPECT_EQ(r.lines, c.lines) << c.name;
    EXPECT_EQ(r.calls, c.securityCalls) << c.name;
    EXPECT_EQ(r.steps, valid ? Steps({"interface:7", "object", "resume"}) : Steps()) << c.name;
    EXPECT_EQ(r.guestPid, c.securityCalls > 0 ? peer.pid() : 0) << c.name;
    EXPECT_EQ(r.requirementText, c.securityCalls > 1 ? sec::testing::kClientRequirement : "");
    ASSERT_EQ(r.notes.size(), valid ? 0u : 1u) << c.name;
    if (valid) continue;
    const std::string& note = r.notes[0];
    EXPECT_TRUE(note.starts_with(c.securityCalls > 0 ? named : "com.korvane.helper: refused a "))
        << note;
    EXPECT_TRUE(note.ends_with(" (status " + std::to_string(c.status) + ")")) << note;
  }
}

}  // namespace
}  // namespace service
