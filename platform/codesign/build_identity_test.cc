// The build's own identity: the compiled-in anchor and the targets that
// korvane_codesign_target signed.
#include "platform/codesign/testsupport/build_identity.h"

#include <gtest/gtest.h>

#include "platform/codesign/build_trust_anchor.h"
#include "platform/codesign/code_signer.h"
#include "platform/codesign/file_io.h"
#include "platform/codesign/security.h"
#include "platform/codesign/testsupport/test_pki.h"
#include "platform/codesign/testsupport/test_process.h"

namespace platform::security {
namespace {

constexpr char kRequirement[] =
    "anchor apple generic and identifier \"com.korvane.codesign-fixture\" and "
    "certificate leaf[subject.OU] = \"QX7ZK2M4PD\"";

OSStatus checkFile(const std::string& path, const char* requirementText) {
  std::optional<TrustAnchor> anchor = TrustAnchor::fromPem(buildTrustAnchorPem());
  EXPECT_TRUE(anchor);
  SecCodeRef code;
  SecRequirementRef requirement;
  EXPECT_EQ(SecStaticCodeCreateWithPath(path, kSecCSDefaultFlags, &code), errSecSuccess);
  EXPECT_EQ(SecRequirementCreateWithString(requirementText, kSecCSDefaultFlags, &requirement),
            errSecSuccess);
  return anchor ? SecCodeCheckValidity(code.get(), kSecCSDefaultFlags, requirement.get(), *anchor)
                : errSecCSInternalError;
}

TEST(BuildIdentity, CompiledAnchorIsTheAnchorFile) {
  std::vector<std::uint8_t> file;
  std::string error;
  ASSERT_TRUE(readWholeFile(testing::buildTrustAnchorFile(), &file, &error)) << error;
  EXPECT_EQ(buildTrustAnchorPem(), std::string(file.begin(), file.end()));
}

TEST(BuildIdentity, SignedTargetsVerifyAgainstTheBuildAnchor) {
  EXPECT_EQ(checkFile(KORVANE_SIGNED_FIXTURE, kRequirement), errSecSuccess);
  EXPECT_EQ(checkFile(KORVANE_SIGNED_FIXTURE, "identifier \"com.korvane.helper\""),
            errSecCSReqFailed);
  EXPECT_EQ(testing::runProgram({KORVANE_SIGNED_FIXTURE}).exitStatus, 0);
}

// The end-to-end tests issue "right root, other OU" leaves this way.
TEST(BuildIdentity, DevelopmentRootIssuesLeavesTheBuildTrusts) {
  if (testing::buildRootKeyFile().empty()) GTEST_SKIP() << "release build: no root key";
  std::vector<std::uint8_t> key, cert;
  std::string error;
  ASSERT_TRUE(readWholeFile(testing::buildRootKeyFile(), &key, &error)) << error;
  ASSERT_TRUE(readWholeFile(testing::buildTrustAnchorFile(), &cert, &error)) << error;
  const auto root = testing::TestCertificateAuthority::fromPem(
      std::string(key.begin(), key.end()), std::string(cert.begin(), cert.end()));
  testing::TempDir dir;
  std::vector<std::uint8_t> program;
  ASSERT_TRUE(readWholeFile("/bin/true", &program, &error)) << error;
  for (const char* team : {"QX7ZK2M4PD", "ZZ9ZZ9ZZ9Z"}) {
    testing::LeafOptions options;
    options.organizationalUnits = {team};
    const std::optional<std::vector<std::uint8_t>> signedProgram = signExecutable(
        program, "com.korvane.codesign-fixture", root.issueLeaf(options).signingIdentity(), &error);
    ASSERT_TRUE(signedProgram) << error;
    testing::writeFile(dir.file(team), *signedProgram);
  }
  EXPECT_EQ(checkFile(dir.file("QX7ZK2M4PD"), kRequirement), errSecSuccess);
  EXPECT_EQ(checkFile(dir.file("ZZ9ZZ9ZZ9Z"), kRequirement), errSecCSReqFailed);
}

}  // namespace
}  // namespace platform::security
