// The format as docs/codesign.md describes it: the document's own scripts,
// run with the openssl command line, agree with our signer and verifier.
#include <gtest/gtest.h>

#include "codesign/code_signer.h"
#include "codesign/file_io.h"
#include "codesign/security.h"
#include "codesign/testsupport/test_pki.h"
#include "codesign/testsupport/test_process.h"

namespace codesign {
namespace {

using testing::TempDir;

// The ```sh block that follows the line "<!-- NAME -->" in the document.
std::string scriptFromDoc(std::string_view name) {
  std::vector<std::uint8_t> bytes;
  std::string error;
  EXPECT_TRUE(readWholeFile(KORVANE_CODESIGN_DOC, &bytes, &error)) << error;
  const std::string doc(bytes.begin(), bytes.end());
  const std::size_t marker = doc.find("<!-- " + std::string(name) + " -->\n```sh\n");
  if (marker == std::string::npos) return {};
  const std::size_t start = doc.find('\n', doc.find("```sh", marker)) + 1;
  const std::size_t end = doc.find("\n```\n", start);
  return end == std::string::npos ? std::string() : doc.substr(start, end - start + 1);
}

testing::ProgramResult runScript(const TempDir& dir, const std::string& script) {
  testing::writeFile(dir.file("script.sh"), script);
  return testing::runProgram({"/bin/sh", "-euc", "cd \"$1\" && . ./script.sh", "sh", dir.path()});
}

OSStatus verify(const std::string& path, const TrustAnchor& anchor) {
  SecCodeRef code;
  SecRequirementRef requirement;
  EXPECT_EQ(SecStaticCodeCreateWithPath(path, kSecCSDefaultFlags, &code), errSecSuccess);
  EXPECT_EQ(SecRequirementCreateWithString("anchor apple generic and identifier "
                                           "\"com.example.fixture\" and certificate "
                                           "leaf[subject.OU] = \"QX7ZK2M4PD\"",
                                           kSecCSDefaultFlags, &requirement),
            errSecSuccess);
  return SecCodeCheckValidity(code.get(), kSecCSDefaultFlags, requirement.get(), anchor);
}

TEST(OpensslFixture, SignedByHandVerifies) {
  const std::string script = scriptFromDoc("fixture-script");
  ASSERT_FALSE(script.empty());
  const testing::TestPki pki = testing::TestPki::make();
  for (const testing::TestIdentity* identity : {&pki.good, &pki.viaIntermediate}) {
    TempDir dir;
    std::vector<std::uint8_t> program;
    std::string error;
    ASSERT_TRUE(readWholeFile("/bin/true", &program, &error));
    testing::writeFile(dir.file("program"), program, 0755);
    testing::writeFile(dir.file("signing.key"), identity->keyPem);
    testing::writeFile(dir.file("signing.pem"), identity->certificatePem);
    testing::writeFile(dir.file("chain.pem"), identity->chainPem);
    const testing::ProgramResult result = runScript(dir, script);
    ASSERT_EQ(result.exitStatus, 0);
    EXPECT_EQ(verify(dir.file("program.signed"), pki.trustedRoot.anchor()), errSecSuccess);
    // And the file still runs.
    EXPECT_EQ(testing::runProgram({dir.file("program.signed")}).exitStatus, 0);
  }
}

TEST(OpensslFixture, OurSignatureVerifiesByHand) {
  const std::string script = scriptFromDoc("verify-script");
  ASSERT_FALSE(script.empty());
  const testing::TestPki pki = testing::TestPki::make();
  TempDir dir;
  std::vector<std::uint8_t> program;
  std::string error;
  ASSERT_TRUE(readWholeFile("/bin/true", &program, &error));
  const std::optional<std::vector<std::uint8_t>> signedProgram =
      signExecutable(program, "com.example.fixture", pki.viaIntermediate.signingIdentity(), &error);
  ASSERT_TRUE(signedProgram) << error;
  testing::writeFile(dir.file("program.signed"), *signedProgram);
  testing::writeFile(dir.file("anchor.pem"), pki.trustedRoot.certificatePem());
  testing::ProgramResult result = runScript(dir, script);
  EXPECT_EQ(result.exitStatus, 0) << result.output;

  // The script is a real check: another anchor fails it.
  testing::writeFile(dir.file("anchor.pem"), pki.untrustedRoot.certificatePem());
  result = runScript(dir, script);
  EXPECT_NE(result.exitStatus, 0);
}

}  // namespace
}  // namespace codesign
