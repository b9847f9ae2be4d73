// The build's own identity: the compiled-in anchor and the targets that
// korvane_codesign_target signed.
#include "codesign/testsupport/build_identity.h"

#include <gtest/gtest.h>

#include "codesign/build_trust_anchor.h"
#include "codesign/code_signer.h"
#include "codesign/file_io.h"
#include "codesign/security.h"
#include "codesign/testsupport/test_pki.h"
#include "codesign/testsupport/test_process.h"

namespace codesign {
namespace {

constexpr char kRequirement[] =
    "anchor apple generic and identifier \"com.korvane.codesign-fixture\" and "
    "certificate leaf[subject.OU] = \"QX7ZK2M4PD\"";

std::string readText(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(readWholeFile(path, &bytes, &error)) << error;
  return std::string(bytes.begin(), bytes.end());
}

OSStatus checkFile(const std::string& path) {
  std::optional<TrustAnchor> anchor = TrustAnchor::fromPem(buildTrustAnchorPem());
  SecCodeRef code;
  SecRequirementRef requirement;
  EXPECT_EQ(SecStaticCodeCreateWithPath(path, kSecCSDefaultFlags, &code), errSecSuccess);
  EXPECT_EQ(SecRequirementCreateWithString(kRequirement, kSecCSDefaultFlags, &requirement),
            errSecSuccess);
  return anchor ? SecCodeCheckValidity(code.get(), kSecCSDefaultFlags, requirement.get(), *anchor)
                : errSecCSInternalError;
}

TEST(BuildIdentity, SignedTargetsVerifyAgainstTheCompiledAnchorAndRun) {
  EXPECT_EQ(buildTrustAnchorPem(), readText(testing::buildTrustAnchorFile()));
  EXPECT_EQ(checkFile(KORVANE_SIGNED_FIXTURE), errSecSuccess);
  EXPECT_EQ(testing::runProgram({KORVANE_SIGNED_FIXTURE}).exitStatus, 0);
}

// The end-to-end tests issue "right root, other OU" leaves this way: only
// the OU must tell the two apart.
TEST(BuildIdentity, DevelopmentRootIssuesLeavesTheBuildTrusts) {
  if (testing::buildRootKeyFile().empty()) GTEST_SKIP() << "release build: no root key";
  const auto root = testing::TestCertificateAuthority::fromPem(
      readText(testing::buildRootKeyFile()), readText(testing::buildTrustAnchorFile()));
  testing::TempDir dir;
  const std::vector<std::uint8_t> program(16, 0x90);
  for (const char* team : {"QX7ZK2M4PD", "ZZ9ZZ9ZZ9Z"}) {
    testing::LeafOptions options;
    options.organizationalUnits = {team};
    std::string error;
    const std::optional<std::vector<std::uint8_t>> signedProgram = signExecutable(
        program, "com.korvane.codesign-fixture", root.issueLeaf(options).signingIdentity(), &error);
    ASSERT_TRUE(signedProgram) << error;
    testing::writeFile(dir.file(team), *signedProgram);
  }
  EXPECT_EQ(checkFile(dir.file("QX7ZK2M4PD")), errSecSuccess);
  EXPECT_EQ(checkFile(dir.file("ZZ9ZZ9ZZ9Z")), errSecCSReqFailed);
}

}  // namespace
}  // namespace codesign
