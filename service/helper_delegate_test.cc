#include "service/helper_delegate.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "control/command_runner.h"
#include "control/process_signals.h"
#include "firewall/firewall.h"
#include "platform/subprocess.h"

namespace service {
namespace {

namespace sec = codesign;

// Stages each Security call's outcome and records what it was given.
class FakeCodeSigning final : public sec::CodeSigningServices {
 public:
  sec::OSStatus guestStatus = 0, requirementStatus = 0, validityStatus = 0;
  bool throwInValidity = false;
  mutable std::string requirementText;
  mutable pid_t guestPid = 0;
  mutable int calls = 0;

  sec::OSStatus SecCodeCopyGuestWithAttributes(const sec::SecCode*,
                                               const sec::GuestAttributes& attributes,
                                               sec::SecCSFlags,
                                               sec::SecCodeRef* guest) const override {
    ++calls;
    guestPid = attributes.audit ? attributes.audit->pid : -1;
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
};

class FakeConnection final : public transport::Connection {
 public:
  std::optional<transport::AuditToken> token = transport::AuditToken{::getpid(), 501, 20, 7};
  std::vector<std::string> steps;

  const transport::AuditToken* auditToken() const override { return token ? &*token : nullptr; }
  void setExportedInterface(std::shared_ptr<const transport::Interface> i) override {
    steps.push_back("interface:" + std::to_string(i->methods().size()));
  }
  void setExportedObject(std::unique_ptr<transport::ExportedObject> o) override {
    steps.push_back(o ? "object" : "null object");
  }
  void resume() override { steps.push_back("resume"); }
};

class NeverRun final : public control::CommandRunner, public control::ProcessSignaller {
 public:
  std::int32_t runCommand(const std::string&, const std::vector<std::string>&) override {
    return -1;
  }
  bool signalProcess(std::int32_t, int) override { return false; }
};

class NoListener final : public transport::Listener {
 public:
  void setDelegate(transport::ListenerDelegate*) override {}
  void resume() override {}
};

// One delegate's world: its services, a staged Security framework, one
// connection and the lines it writes.
struct Rig {
  bool admit() {
    HelperDelegate delegate(
        services_, signing_, [this](HelperDelegate::Stream stream, std::string_view line) {
          (stream == HelperDelegate::Stream::kOutput ? lines_ : notes_).emplace_back(line);
        });
    return delegate.shouldAcceptNewConnection(listener_, connection_);
  }

  NeverRun never_;
  firewall::Firewall firewall_{never_};
  processes::SystemProcessSource processes_;
  interface::HelperServices services_ {
    processes_, never_, never_, firewall_, [] { return common::Listing{}; }
  };
  FakeCodeSigning signing_;
  FakeConnection connection_;
  NoListener listener_;
  std::vector<std::string> lines_, notes_;
};

const char* kWarning = "🚨 SECURITY WARNING: Rejected unauthorized XPC connection.";

TEST(Admission, ValidCallerGetsInterfaceThenObjectThenResumeAndNothingIsWritten) {
  Rig r;
  EXPECT_TRUE(r.admit());
  EXPECT_TRUE(r.lines_.empty() && r.notes_.empty());
  EXPECT_EQ(r.connection_.steps, (std::vector<std::string>{"interface:7", "object", "resume"}));
  EXPECT_EQ(r.signing_.guestPid, ::getpid());
  EXPECT_EQ(r.signing_.requirementText,
            "anchor apple generic and identifier \"com.korvane.Korvane-Activity-Console\" and "
            "certificate leaf[subject.OU] = \"QX7ZK2M4PD\"");
}

// Each refusal: the failing step's own lines and the warning on standard
// output, then one line naming the peer and the status on standard error.
TEST(Admission, EachFailingStepWritesItsOwnLinesThenTheWarningThenANote) {
  struct Case {
    const char* name;
    std::function<void(Rig&)> stage;
    std::vector<std::string> lines;
    int securityCalls;
    std::string status;
  };
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  const std::string peer = "com.korvane.helper: refused pid " + std::to_string(::getpid()) +
                           " uid 501 gid 20 executable " + self + ": ";
  const std::string advice =
      "🚨 Make sure your Team ID and Bundle ID are correct and you are signing with an Apple "
      "Dev cert.";
  const Case cases[] = {
      {"no token",
       [](Rig& a) { a.connection_.token.reset(); },
       {"🚨 Failed to extract auditToken using KVC.", kWarning},
       0,
       "com.korvane.helper: refused a peer without credentials: unsupported guest attributes "
       "(status -67067)"},
      {"no code",
       [](Rig& a) { a.signing_.guestStatus = -67034; },
       {"🚨 Failed to get SecCode for incoming connection.", kWarning},
       1,
       peer + "the code on disk does not match what is running (status -67034)"},
      {"bad requirement",
       [](Rig& a) { a.signing_.requirementStatus = -67052; },
       {"🚨 Failed to create SecRequirement.", kWarning},
       2,
       peer + "invalid code requirement (status -67052)"},
      {"requirement not met",
       [](Rig& a) { a.signing_.validityStatus = -67063; },
       {"🚨 SECURITY AUDIT FAILED: Status code -67063", advice, kWarning},
       3,
       peer + "code identity has been invalidated (status -67063)"},
      {"positive status",
       [](Rig& a) { a.signing_.validityStatus = 7; },
       {"🚨 SECURITY AUDIT FAILED: Status code 7", advice, kWarning},
       3,
       peer + "unknown status 7 (status 7)"},
      {"exception",
       [](Rig& a) { a.signing_.throwInValidity = true; },
       {kWarning},
       3,
       peer + "internal error in the code-signing services (status -67048)"},
  };
  for (const auto& c : cases) {
    Rig fresh;
    c.stage(fresh);
    EXPECT_FALSE(fresh.admit()) << c.name;
    EXPECT_EQ(fresh.lines_, c.lines) << c.name;
    EXPECT_EQ(fresh.notes_, std::vector<std::string>{c.status}) << c.name;
    EXPECT_TRUE(fresh.connection_.steps.empty()) << c.name;
    EXPECT_EQ(fresh.signing_.calls, c.securityCalls) << c.name;
  }
}

// A peer names its own executable: a line feed in the name must not start a
// line of the daemon's own.
TEST(Admission, TheNoteEscapesControlCharactersInThePeersExecutable) {
  const auto dir = std::filesystem::temp_directory_path() / ("note-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "sl\neep\\").string();
  std::filesystem::copy_file("/bin/sleep", path);
  platform::Child sleeper = platform::Child::spawn(path, {"100"}, {});
  Rig r;
  r.connection_.token->pid = sleeper.pid();
  r.signing_.guestStatus = -67034;
  EXPECT_FALSE(r.admit());
  ASSERT_EQ(r.notes_.size(), 1u);
  EXPECT_NE(r.notes_[0].find((dir / "sl\\x0aeep\\x5c:").string()), std::string::npos)
      << r.notes_[0];
  sleeper.killAndReap();
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace service
