#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include "codesign/code_signer.h"
#include "codesign/security.h"
#include "codesign/testsupport/test_pki.h"
#include "platform/pidfd.h"
#include "platform/subprocess.h"
#include "testsupport/testsupport.h"

namespace codesign {

using platform::Child;
using platform::UniqueFd;
using transport::AuditToken;
namespace {

using testing::TestPki;
using testsupport::TempDir;

constexpr char kRequirement[] = "anchor apple generic and identifier \"com.korvane.sleeper\"";

// A process of ours (killed and reaped with the owner) and a pidfd of it.
struct Sleeper {
  explicit Sleeper(const std::string& path)
      : child(Child::spawn(path, {"1000"}, {})),
        // Our unreaped child: its pid cannot name another process yet.
        pidfd(platform::pidfdOpen(child.pid())) {}
  AuditToken token() const { return AuditToken{child.pid(), ::getuid(), ::getgid(), pidfd.get()}; }

  Child child;
  UniqueFd pidfd;
};

class GuestCode : public ::testing::Test {
 protected:
  GuestCode() : pki_(TestPki::make()), anchor_(pki_.trustedRoot.anchor()) {}

  // A copy of /bin/sleep at `name`, signed when `sign` is set.
  std::string sleeper(const std::string& name, bool sign) {
    const std::string program = testsupport::readFile("/bin/sleep");
    std::vector<std::uint8_t> bytes(program.begin(), program.end());
    std::string err;
    if (sign) {
      EXPECT_TRUE(signExecutable(asBytes(program), "com.korvane.sleeper",
                                 pki_.good.signingIdentity(), &bytes, &err))
          << err;
    }
    // Written beside the target and renamed over it, as an installer would.
    const std::string temp = dir_.file(name + ".new");
    testsupport::writeFile(temp, bytes, 0755);
    EXPECT_EQ(::rename(temp.c_str(), dir_.file(name).c_str()), 0);
    return dir_.file(name);
  }

  OSStatus checkGuest(const AuditToken& token) {
    SecCodeRef guest;
    OSStatus status =
        SecCodeCopyGuestWithAttributes(nullptr, GuestAttributes{token}, kSecCSDefaultFlags, &guest);
    if (status != errSecSuccess) return status;
    SecRequirementRef requirement;
    EXPECT_EQ(SecRequirementCreateWithString(kRequirement, kSecCSDefaultFlags, &requirement),
              errSecSuccess);
    return SecCodeCheckValidity(guest.get(), kSecCSDefaultFlags, requirement.get(), anchor_);
  }

  TestPki pki_;
  TrustAnchor anchor_;
  TempDir dir_;
};

TEST_F(GuestCode, ChecksTheFileALiveProcessRunsNotThePath) {
  Sleeper a(sleeper("a", true)), b(sleeper("b", false)), dead(sleeper("a", true));
  ASSERT_TRUE(a.pidfd && b.pidfd && dead.pidfd);
  // Swap what the paths hold after the processes started.
  sleeper("a", false);
  sleeper("b", true);
  EXPECT_EQ(checkGuest(a.token()), errSecSuccess);
  EXPECT_EQ(checkGuest(b.token()), errSecCSUnsigned);

  const AuditToken deadToken = dead.token();
  dead.child.killAndReap();
  UniqueFd notAPidfd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const pid_t pid = a.child.pid();
  // Without a pidfd naming that very process, a reused pid would pass.
  const struct {
    const char* name;
    AuditToken token;
    OSStatus expected;
  } cases[] = {
      {"no pidfd", AuditToken{pid, 0, 0, -1}, errSecCSInvalidAttributeValues},
      {"pidfd of another process", AuditToken{pid, 0, 0, b.pidfd.get()}, errSecCSNoSuchCode},
      {"not a pidfd", AuditToken{pid, 0, 0, notAPidfd.get()}, errSecCSNoSuchCode},
      {"process ended", deadToken, errSecCSNoSuchCode},
  };
  for (const auto& c : cases) EXPECT_EQ(checkGuest(c.token), c.expected) << c.name;
}

}  // namespace
}  // namespace codesign
