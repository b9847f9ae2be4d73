#include "codesign/security.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/sha.h>

#include <algorithm>
#include <functional>
#include <sstream>

#include "codesign/code_signer.h"
#include "codesign/testsupport/test_pki.h"
#include "testsupport/testsupport.h"

namespace codesign {
namespace {

using testing::TestIdentity;
using testing::TestPki;
using Bytes = std::vector<std::uint8_t>;

constexpr char kIdentifier[] = "com.korvane.Korvane-Activity-Console";
constexpr char kRequirement[] =
    "anchor apple generic and identifier \"com.korvane.Korvane-Activity-Console\" and "
    "certificate leaf[subject.OU] = \"QX7ZK2M4PD\"";

using Kind = RequirementClause::Kind;

const TestPki& pki() {
  static const TestPki kPki = TestPki::make();
  return kPki;
}

const Bytes& program() {
  static const std::string kText = testsupport::readFile("/bin/true");
  static const Bytes kProgram(kText.begin(), kText.end());
  return kProgram;
}

Bytes signBytes(const TestIdentity& identity, std::string_view identifier,
                std::span<const std::uint8_t> content = program()) {
  Bytes signedBytes;
  std::string err;
  EXPECT_TRUE(signExecutable(content, identifier, identity.signingIdentity(), &signedBytes, &err))
      << err;
  return signedBytes;
}

class CodeSigning : public ::testing::Test {
 protected:
  std::string write(const Bytes& bytes) {
    testsupport::writeFile(dir_.file("program"), bytes);
    return dir_.file("program");
  }
  OSStatus check(const Bytes& bytes, const TrustAnchor& anchor = pki().trustedRoot.anchor()) {
    SecCodeRef code;
    SecRequirementRef requirement;
    EXPECT_EQ(SecStaticCodeCreateWithPath(write(bytes), kSecCSDefaultFlags, &code), errSecSuccess);
    EXPECT_EQ(SecRequirementCreateWithString(kRequirement, kSecCSDefaultFlags, &requirement),
              errSecSuccess);
    return SecCodeCheckValidity(code.get(), kSecCSDefaultFlags, requirement.get(), anchor);
  }

  testsupport::TempDir dir_;
};

TEST_F(CodeSigning, AdmitsOnlyTheIdentityTheRequirementNames) {
  const testing::TestCertificateAuthority& root = pki().trustedRoot;
  const std::string name = "Korvane Test Signer", team = "QX7ZK2M4PD", other = "ZZ9ZZ9ZZ9Z";
  // An intermediate may be the anchor itself.
  const auto intermediate = root.issueIntermediate("I");
  EXPECT_EQ(
      check(signBytes(intermediate.issueLeaf({name, {team}}), kIdentifier), intermediate.anchor()),
      errSecSuccess);
  const struct {
    const char* name;
    TestIdentity identity;
    const char* identifier;
    OSStatus expected;
  } cases[] = {
      {"trusted root, right OU and identifier", pki().good, kIdentifier, errSecSuccess},
      {"through an intermediate", pki().viaIntermediate, kIdentifier, errSecSuccess},
      {"untrusted root, right OU and identifier", pki().untrusted, kIdentifier, errSecCSReqFailed},
      {"right root, other identifier", pki().good, "com.korvane.other", errSecCSReqFailed},
      {"identifier with a suffix", pki().good, "com.korvane.Korvane-Activity-Console2",
       errSecCSReqFailed},
      {"right root, other OU", root.issueLeaf({name, {other}}), kIdentifier, errSecCSReqFailed},
      {"several OUs, one right", root.issueLeaf({name, {team, other}}), kIdentifier,
       errSecCSReqFailed},
      {"no OU", root.issueLeaf({name, {}}), kIdentifier, errSecCSReqFailed},
      {"leaf without codeSigning usage (serverAuth)", root.issueLeaf({name, {team}, false}),
       kIdentifier, errSecCSReqFailed},
      {"leaf without extended key usage", root.issueLeaf({name, {team}, true, false}), kIdentifier,
       errSecCSReqFailed},
      {"issued by a non-CA", root.issueIntermediate("N", false).issueLeaf({name, {team}}),
       kIdentifier, errSecCSReqFailed},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(check(signBytes(c.identity, c.identifier)), c.expected) << c.name;
  }
}

TEST_F(CodeSigning, DamagedOrMovedSignaturesFailWithTheirStatus) {
  const Bytes good = signBytes(pki().good, kIdentifier);
  const SignatureBlock block = parseSignature(good).block;
  const std::size_t manifestAt = block.signedLength;
  const std::size_t cmsAt = manifestAt + block.manifest.size();
  const std::size_t headerAt = cmsAt + block.cms.size();
  Sha256 digest{};
  ::SHA256(asBytes(block.manifest).data(), block.manifest.size(), digest.data());
  // The manifest's digest inside the CMS's signed attributes.
  const std::size_t digestAt =
      cmsAt + (std::search(block.cms.begin(), block.cms.end(), digest.begin(), digest.end()) -
               block.cms.begin());
  ASSERT_LT(digestAt, headerAt);
  // The end-to-end admission test changes the program's text, the manifest,
  // the signature value and the header; here, the rest.
  const struct {
    const char* name;
    std::function<void(Bytes&)> change;
    OSStatus expected;
  } cases[] = {
      {"manifest digest in the CMS", [&](Bytes& b) { b[digestAt + 5] ^= 1; },
       errSecCSSignatureFailed},
      {"bytes cut out of the CMS",
       [&](Bytes& b) { b.erase(b.begin() + cmsAt + 10, b.begin() + cmsAt + 20); },
       errSecCSSignatureFailed},
      {"block of another version", [&](Bytes& b) { b[headerAt] = 9; },
       errSecCSSignatureUnsupported},
      {"signature moved to another program",
       [&](Bytes& b) {
         b.erase(b.begin(), b.begin() + manifestAt);
         b.insert(b.begin(), {1, 2, 3});
       },
       errSecCSSignatureFailed},
      {"trailing byte inside the CMS slot",
       [&](Bytes& b) {
         Bytes cms = block.cms;
         cms.push_back(0);
         const Bytes padded = buildSignatureBlock(block.manifest, cms);
         b.resize(manifestAt);
         b.insert(b.end(), padded.begin(), padded.end());
       },
       errSecCSSignatureFailed},
  };
  for (const auto& c : cases) {
    Bytes bytes = good;
    c.change(bytes);
    EXPECT_EQ(check(bytes), c.expected) << c.name;
  }
  // No byte of the CMS breaks the verifier. Some fields lie outside what is
  // signed (the signer's issuer name is matched without regard to case, for
  // one), so a change there may still verify, as on macOS.
  for (std::size_t at = cmsAt; at < headerAt; at += 3) {
    Bytes tampered = good;
    tampered[at] ^= 0x20;
    const OSStatus status = check(tampered);
    EXPECT_TRUE(status == errSecSuccess || status == errSecCSSignatureFailed ||
                status == errSecCSSignatureUnsupported || status == errSecCSReqFailed)
        << at << " " << status;
  }
  EXPECT_TRUE(ERR_peek_error() == 0) << "the error queue is left empty";
}

TEST_F(CodeSigning, RefusesWhatItCannotUse) {
  SecCodeRef code;
  EXPECT_EQ(SecStaticCodeCreateWithPath(dir_.path(), kSecCSDefaultFlags, &code),
            errSecCSStaticCodeNotFound);
  const std::string root = pki().trustedRoot.certificatePem();
  EXPECT_TRUE(TrustAnchor::fromPem(root + root));
  for (const std::string& text :
       {std::string(), std::string("no certificate"),
        root.substr(0, root.size() / 2) + root.substr(root.size() / 2 + 10)}) {
    EXPECT_FALSE(TrustAnchor::fromPem(text)) << text;
  }
  SigningIdentity identity;
  std::string err;
  EXPECT_FALSE(SigningIdentity::fromPem(pki().untrusted.keyPem, pki().good.certificatePem, "",
                                        &identity, &err));
  EXPECT_FALSE(err.empty());
}

TEST(RequirementCompiler, CompilesTheSubsetAndNothingElse) {
  const std::pair<std::string, std::vector<RequirementClause>> compiled[] = {
      {"anchor apple generic and identifier \"com.korvane.Korvane-Activity-Console\" and "
       "certificate leaf[subject.OU] = \"QX7ZK2M4PD\"",
       {{Kind::kAnchorAppleGeneric, ""},
        {Kind::kIdentifier, "com.korvane.Korvane-Activity-Console"},
        {Kind::kLeafSubjectOU, "QX7ZK2M4PD"}}},
      {"  identifier\t\"a\"\n", {{Kind::kIdentifier, "a"}}},
      {"certificate leaf [ subject.OU ]=\"T\"", {{Kind::kLeafSubjectOU, "T"}}},
      {"identifier \"a\\\"b\\\\c\"", {{Kind::kIdentifier, "a\"b\\c"}}},
      {"identifier \"caf\xc3\xa9\"", {{Kind::kIdentifier, "caf\xc3\xa9"}}},
  };
  for (const auto& [text, clauses] : compiled) {
    const std::optional<Requirement> requirement = compileRequirement(text);
    ASSERT_TRUE(requirement) << text;
    EXPECT_EQ(requirement->clauses, clauses) << text;
  }
  // Anything looser than the subset (or, negation, other keywords, other
  // certificates or fields, unquoted, empty or unterminated strings, other
  // escapes and control characters) must not compile into something weaker.
  std::istringstream refused(
      "|anchor apple|anchor apple generic and|and anchor apple generic|anchor apple generic or "
      "identifier \"a\"|(anchor apple generic)|!anchor apple generic|Anchor apple generic|anchor "
      "trusted|identifier a|identifier \"\"|identifier \"a|identifier \"a\\n\"|identifier "
      "\"a\tb\"|identifier \"a\" identifier \"b\"|certificate leaf[subject.CN] = \"T\"|"
      "certificate root[subject.OU] = \"T\"|certificate leaf[subject.OU] = \"T\" extra|info "
      "[CFBundleVersion] = \"1\"");
  for (std::string text; std::getline(refused, text, '|');) {
    EXPECT_FALSE(compileRequirement(text)) << text;
  }
  EXPECT_FALSE(compileRequirement(std::string_view("identifier \"a\0\"", 15)));
}

}  // namespace
}  // namespace codesign
