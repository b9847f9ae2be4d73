#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include "platform/codesign/code_signer.h"
#include "platform/codesign/file_io.h"
#include "platform/codesign/security.h"
#include "platform/codesign/testsupport/test_pki.h"
#include "platform/codesign/testsupport/test_process.h"

namespace platform::security {
namespace {

using testing::ChildProcess;
using testing::TempDir;
using testing::TestPki;

constexpr char kRequirement[] =
    "anchor apple generic and identifier \"com.korvane.sleeper\" and "
    "certificate leaf[subject.OU] = \"QX7ZK2M4PD\"";

class GuestCode : public ::testing::Test {
 protected:
  GuestCode() : pki_(TestPki::make()), anchor_(pki_.trustedRoot.anchor()) {}

  // A copy of /bin/sleep at `name`, signed when `sign` is set.
  std::string sleeper(const std::string& name, bool sign) {
    std::vector<std::uint8_t> bytes;
    std::string error;
    EXPECT_TRUE(readWholeFile("/bin/sleep", &bytes, &error)) << error;
    if (sign) {
      bytes = signExecutable(bytes, "com.korvane.sleeper", pki_.good.signingIdentity(), &error)
                  .value_or(std::vector<std::uint8_t>{});
    }
    // Written beside the target and renamed over it, as an installer would.
    const std::string temp = dir_.file(name + ".new");
    testing::writeFile(temp, bytes, 0755);
    EXPECT_EQ(::rename(temp.c_str(), dir_.file(name).c_str()), 0);
    return dir_.file(name);
  }

  static AuditToken tokenOf(const ChildProcess& child) {
    return AuditToken{child.pid(), ::getuid(), ::getgid(), child.pidfd()};
  }

  OSStatus checkGuest(const AuditToken& token) {
    SecCodeRef guest;
    OSStatus status =
        SecCodeCopyGuestWithAttributes(nullptr, GuestAttributes{token}, kSecCSDefaultFlags, &guest);
    if (status != errSecSuccess) return status;
    EXPECT_EQ(guest->pid(), token.pid);
    SecRequirementRef requirement;
    EXPECT_EQ(SecRequirementCreateWithString(kRequirement, kSecCSDefaultFlags, &requirement),
              errSecSuccess);
    return SecCodeCheckValidity(guest.get(), kSecCSDefaultFlags, requirement.get(), anchor_);
  }

  TestPki pki_;
  TrustAnchor anchor_;
  TempDir dir_;
};

TEST_F(GuestCode, ChecksTheProcessBehindTheToken) {
  std::optional<ChildProcess> child = ChildProcess::spawn({sleeper("sleep", true), "1000"});
  ASSERT_TRUE(child);
  const AuditToken token = tokenOf(*child);
  EXPECT_EQ(checkGuest(token), errSecSuccess);

  child->killAndReap();
  SecCodeRef guest;
  EXPECT_EQ(
      SecCodeCopyGuestWithAttributes(nullptr, GuestAttributes{token}, kSecCSDefaultFlags, &guest),
      errSecCSNoSuchCode);
  EXPECT_FALSE(guest);
}

TEST_F(GuestCode, ReadsTheFileTheProcessRunsNotThePath) {
  std::optional<ChildProcess> signedChild = ChildProcess::spawn({sleeper("a", true), "1000"});
  std::optional<ChildProcess> unsignedChild = ChildProcess::spawn({sleeper("b", false), "1000"});
  ASSERT_TRUE(signedChild && unsignedChild);
  // Swap what the paths hold after the processes started.
  sleeper("a", false);
  sleeper("b", true);
  EXPECT_EQ(checkGuest(tokenOf(*signedChild)), errSecSuccess);
  EXPECT_EQ(checkGuest(tokenOf(*unsignedChild)), errSecCSUnsigned);
}

TEST_F(GuestCode, RefusesTokensThatDoNotNameALiveProcess) {
  std::optional<ChildProcess> a = ChildProcess::spawn({sleeper("sleep", true), "1000"});
  std::optional<ChildProcess> b = ChildProcess::spawn({sleeper("sleep", true), "1000"});
  ASSERT_TRUE(a && b);
  UniqueFd notAPidfd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const struct {
    const char* name;
    std::optional<AuditToken> token;
    OSStatus expected;
  } cases[] = {
      {"no token", std::nullopt, errSecCSUnsupportedGuestAttributes},
      {"no pidfd", AuditToken{a->pid(), 0, 0, -1}, errSecCSInvalidAttributeValues},
      {"no pid", AuditToken{0, 0, 0, a->pidfd()}, errSecCSInvalidAttributeValues},
      {"pidfd of another process", AuditToken{a->pid(), 0, 0, b->pidfd()}, errSecCSNoSuchCode},
      {"not a pidfd", AuditToken{a->pid(), 0, 0, notAPidfd.get()}, errSecCSNoSuchCode},
  };
  for (const auto& c : cases) {
    SecCodeRef guest;
    EXPECT_EQ(SecCodeCopyGuestWithAttributes(nullptr, GuestAttributes{c.token}, kSecCSDefaultFlags,
                                             &guest),
              c.expected)
        << c.name;
  }
  SecCodeRef host, guest;
  ASSERT_EQ(SecStaticCodeCreateWithPath("/bin/sleep", kSecCSDefaultFlags, &host), errSecSuccess);
  EXPECT_EQ(SecCodeCopyGuestWithAttributes(host.get(), GuestAttributes{tokenOf(*a)},
                                           kSecCSDefaultFlags, &guest),
            errSecCSNotAHost);
}

}  // namespace
}  // namespace platform::security
