#include "platform/codesign/security.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/codesign/code_signer.h"
#include "platform/codesign/file_io.h"
#include "platform/codesign/testsupport/test_pki.h"
#include "platform/codesign/testsupport/test_process.h"

namespace platform::security {
namespace {

using testing::TempDir;
using testing::TestIdentity;
using testing::TestPki;
using Bytes = std::vector<std::uint8_t>;

constexpr char kIdentifier[] = "com.korvane.Korvane-Activity-Console";
constexpr char kRequirement[] =
    "anchor apple generic and identifier \"com.korvane.Korvane-Activity-Console\" and "
    "certificate leaf[subject.OU] = \"QX7ZK2M4PD\"";

const TestPki& pki() {
  static const TestPki kPki = TestPki::make();
  return kPki;
}

const Bytes& program() {
  static const Bytes kProgram = [] {
    Bytes bytes;
    std::string error;
    if (!readWholeFile("/bin/true", &bytes, &error)) ADD_FAILURE() << error;
    return bytes;
  }();
  return kProgram;
}

Bytes signBytes(const TestIdentity& identity, std::string_view identifier,
                const Bytes& content = program()) {
  std::string error;
  std::optional<Bytes> signedBytes =
      signExecutable(content, identifier, identity.signingIdentity(), &error);
  EXPECT_TRUE(signedBytes) << error;
  return signedBytes.value_or(Bytes{});
}

class CodeSigning : public ::testing::Test {
 protected:
  std::string write(const Bytes& bytes, const std::string& name = "program") {
    const std::string path = dir_.file(name);
    testing::writeFile(path, bytes);
    return path;
  }

  OSStatus check(const Bytes& bytes, const char* requirementText = kRequirement,
                 const TrustAnchor* anchor = nullptr) {
    SecCodeRef code;
    EXPECT_EQ(SecStaticCodeCreateWithPath(write(bytes), kSecCSDefaultFlags, &code), errSecSuccess);
    SecRequirementRef requirement;
    if (requirementText != nullptr) {
      EXPECT_EQ(SecRequirementCreateWithString(requirementText, kSecCSDefaultFlags, &requirement),
                errSecSuccess);
    }
    const TrustAnchor trusted = pki().trustedRoot.anchor();
    return SecCodeCheckValidity(code.get(), kSecCSDefaultFlags, requirement.get(),
                                anchor ? *anchor : trusted);
  }

  TempDir dir_;
};

TEST_F(CodeSigning, AdmitsOnlyTheIdentityTheRequirementNames) {
  const struct {
    const char* name;
    const TestIdentity& identity;
    const char* identifier;
    OSStatus expected;
  } cases[] = {
      {"trusted root, right OU and identifier", pki().good, kIdentifier, errSecSuccess},
      {"through an intermediate", pki().viaIntermediate, kIdentifier, errSecSuccess},
      {"untrusted root, right OU and identifier", pki().untrusted, kIdentifier, errSecCSReqFailed},
      {"right root, other identifier", pki().good, "com.korvane.other", errSecCSReqFailed},
      {"identifier with a suffix", pki().good, "com.korvane.Korvane-Activity-Console2",
       errSecCSReqFailed},
      {"right root, other OU", pki().otherTeam, kIdentifier, errSecCSReqFailed},
      {"several OUs, one right", pki().multipleTeams, kIdentifier, errSecCSReqFailed},
      {"no OU", pki().noTeam, kIdentifier, errSecCSReqFailed},
      {"leaf without codeSigning usage", pki().noCodeSigning, kIdentifier, errSecCSReqFailed},
      {"leaf without extended key usage", pki().noUsageStated, kIdentifier, errSecCSReqFailed},
      {"issued by a non-CA", pki().viaNonAuthority, kIdentifier, errSecCSReqFailed},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(check(signBytes(c.identity, c.identifier)), c.expected) << c.name;
  }
}

TEST_F(CodeSigning, TrustIsAskedOnlyByTheAnchorClause) {
  const Bytes untrusted = signBytes(pki().untrusted, kIdentifier);
  EXPECT_EQ(check(untrusted, nullptr), errSecSuccess);
  EXPECT_EQ(check(untrusted, "identifier \"com.korvane.Korvane-Activity-Console\""), errSecSuccess);
  EXPECT_EQ(check(untrusted, "anchor apple generic"), errSecCSReqFailed);
  // An intermediate may itself be the anchor.
  const testing::TestCertificateAuthority root = testing::TestCertificateAuthority::makeRoot("R");
  const testing::TestCertificateAuthority intermediate = root.issueIntermediate("I");
  testing::LeafOptions options;
  options.organizationalUnits = {"QX7ZK2M4PD"};
  const TrustAnchor anchor = intermediate.anchor();
  EXPECT_EQ(check(signBytes(intermediate.issueLeaf(options), kIdentifier), kRequirement, &anchor),
            errSecSuccess);
}

TEST_F(CodeSigning, ChangedBytesFailTheSignature) {
  const Bytes good = signBytes(pki().good, kIdentifier);
  const ParsedSignature parsed = parseSignature(good);
  ASSERT_EQ(parsed.status, ParseStatus::kSigned);
  const std::size_t manifestAt = parsed.block.signedLength;
  const std::size_t cmsAt = manifestAt + parsed.block.manifest.size();
  const std::size_t headerAt = cmsAt + parsed.block.cms.size();
  // Any byte of the program or the manifest: the signature fails.
  for (std::size_t at : {std::size_t{0}, std::size_t{4}, manifestAt / 2, manifestAt - 1, manifestAt,
                         manifestAt + 20, cmsAt - 2}) {
    Bytes tampered = good;
    tampered[at] ^= 0x01;
    EXPECT_EQ(check(tampered), errSecCSSignatureFailed) << at;
  }
  // The manifest's digest inside the signed attributes, and the signature.
  const std::vector<std::uint8_t> cms = parsed.block.cms;
  const Sha256 digest =
      sha256(std::span(reinterpret_cast<const std::uint8_t*>(parsed.block.manifest.data()),
                       parsed.block.manifest.size()))
          .value();
  const auto digestAt = std::search(cms.begin(), cms.end(), digest.begin(), digest.end());
  ASSERT_NE(digestAt, cms.end());
  for (std::size_t at : {cmsAt + (digestAt - cms.begin()) + 5, headerAt - 1}) {
    Bytes tampered = good;
    tampered[at] ^= 0x01;
    EXPECT_EQ(check(tampered), errSecCSSignatureFailed) << at;
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

TEST_F(CodeSigning, ClassifiesMissingAndDamagedSignatures) {
  const Bytes good = signBytes(pki().good, kIdentifier);
  const ParsedSignature parsed = parseSignature(good);
  const std::size_t cmsAt = parsed.block.signedLength + parsed.block.manifest.size();
  const std::size_t headerAt = good.size() - kSignatureMagic.size() - kHeaderSize;
  auto with = [&](auto change) {
    Bytes bytes = good;
    change(bytes);
    return bytes;
  };
  const struct {
    const char* name;
    Bytes bytes;
    OSStatus expected;
  } cases[] = {
      {"unsigned", program(), errSecCSUnsigned},
      {"empty file", Bytes{}, errSecCSUnsigned},
      {"last byte cut", with([](Bytes& b) { b.pop_back(); }), errSecCSUnsigned},
      {"junk after the signature", with([](Bytes& b) { b.push_back('x'); }), errSecCSUnsigned},
      {"bytes cut out of the CMS",
       with([&](Bytes& b) { b.erase(b.begin() + cmsAt + 10, b.begin() + cmsAt + 20); }),
       errSecCSSignatureFailed},
      {"CMS garbled",
       with([&](Bytes& b) { std::fill(b.begin() + cmsAt, b.begin() + headerAt, 0x5a); }),
       errSecCSSignatureFailed},
      {"block of another version", with([&](Bytes& b) { b[headerAt] = 9; }),
       errSecCSSignatureUnsupported},
      {"signature moved to another program", with([&](Bytes& b) {
         b.erase(b.begin(), b.begin() + parsed.block.signedLength);
         b.insert(b.begin(), {1, 2, 3});
       }),
       errSecCSSignatureFailed},
  };
  for (const auto& c : cases) EXPECT_EQ(check(c.bytes), c.expected) << c.name;
}

TEST_F(CodeSigning, RefusesTrailingBytesInsideTheCmsSlot) {
  const Bytes good = signBytes(pki().good, kIdentifier);
  ParsedSignature parsed = parseSignature(good);
  parsed.block.cms.push_back(0);
  Bytes padded(good.begin(), good.begin() + parsed.block.signedLength);
  const Bytes block = buildSignatureBlock(parsed.block.manifest, parsed.block.cms);
  padded.insert(padded.end(), block.begin(), block.end());
  EXPECT_EQ(check(padded), errSecCSSignatureFailed);
}

TEST_F(CodeSigning, ResigningReplacesTheSignature) {
  const Bytes once = signBytes(pki().untrusted, "com.korvane.first");
  const Bytes twice = signBytes(pki().good, kIdentifier, once);
  const ParsedSignature parsed = parseSignature(twice);
  ASSERT_EQ(parsed.status, ParseStatus::kSigned);
  EXPECT_EQ(parsed.block.signedLength, program().size());
  EXPECT_EQ(check(twice), errSecSuccess);

  std::string error;
  Bytes damaged = once;
  damaged[damaged.size() - kSignatureMagic.size() - kHeaderSize + 1] = 1;
  EXPECT_FALSE(signExecutable(damaged, kIdentifier, pki().good.signingIdentity(), &error));
  EXPECT_FALSE(signExecutable(program(), "bad id", pki().good.signingIdentity(), &error));
}

TEST_F(CodeSigning, SignsFilesInPlaceKeepingTheirMode) {
  const std::string path = write(program());
  ASSERT_EQ(::chmod(path.c_str(), 0751), 0);
  std::string error;
  ASSERT_TRUE(signExecutableFile(path, kIdentifier, pki().good.signingIdentity(), &error)) << error;
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
  Bytes content;
  ASSERT_TRUE(readWholeFile(path, &content, &error));
  EXPECT_EQ(parseSignature(content).block.signedLength, program().size());

  const std::string link = dir_.file("link");
  ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
  EXPECT_FALSE(signExecutableFile(link, kIdentifier, pki().good.signingIdentity(), &error));
}

TEST_F(CodeSigning, ReportsSigningInformation) {
  SecCodeRef code;
  ASSERT_EQ(SecStaticCodeCreateWithPath(write(signBytes(pki().viaIntermediate, kIdentifier)),
                                        kSecCSDefaultFlags, &code),
            errSecSuccess);
  SigningInformation info;
  ASSERT_EQ(SecCodeCopySigningInformation(code.get(), kSecCSDefaultFlags, &info), errSecSuccess);
  EXPECT_EQ(info.identifier, kIdentifier);
  EXPECT_EQ(info.hash, sha256(program()));
  EXPECT_EQ(info.signedLength, program().size());
  EXPECT_EQ(info.teamIdentifier, "QX7ZK2M4PD");
  EXPECT_EQ(info.leafSubject, "O=Korvane Test,OU=QX7ZK2M4PD,CN=Korvane Test Signer (QX7ZK2M4PD)");
  EXPECT_EQ(
      info.authorities,
      (std::vector<std::string>{info.leafSubject, "O=Korvane Test,CN=Korvane Test Intermediate"}));

  ASSERT_EQ(SecStaticCodeCreateWithPath(write(signBytes(pki().multipleTeams, kIdentifier)),
                                        kSecCSDefaultFlags, &code),
            errSecSuccess);
  ASSERT_EQ(SecCodeCopySigningInformation(code.get(), kSecCSDefaultFlags, &info), errSecSuccess);
  EXPECT_EQ(info.leafOrganizationalUnits, (std::vector<std::string>{"QX7ZK2M4PD", "ZZ9ZZ9ZZ9Z"}));
  EXPECT_FALSE(info.teamIdentifier);
}

TEST_F(CodeSigning, RefusesBadArguments) {
  SecCodeRef code;
  EXPECT_EQ(SecStaticCodeCreateWithPath(dir_.file("missing"), kSecCSDefaultFlags, &code),
            errSecCSStaticCodeNotFound);
  EXPECT_EQ(SecStaticCodeCreateWithPath(dir_.path(), kSecCSDefaultFlags, &code),
            errSecCSStaticCodeNotFound);
  ASSERT_EQ(SecStaticCodeCreateWithPath(write(program()), kSecCSDefaultFlags, &code),
            errSecSuccess);
  const TrustAnchor anchor = pki().trustedRoot.anchor();
  EXPECT_EQ(SecCodeCheckValidity(code.get(), 1, nullptr, anchor), errSecCSInvalidFlags);
  EXPECT_EQ(SecCodeCheckValidity(nullptr, kSecCSDefaultFlags, nullptr, anchor),
            errSecCSObjectRequired);
  SecRequirementRef requirement;
  EXPECT_EQ(SecRequirementCreateWithString("anchor apple", kSecCSDefaultFlags, &requirement),
            errSecCSReqInvalid);
  EXPECT_FALSE(requirement);
}

TEST(TrustAnchor, ReadsOnlyCertificates) {
  const std::string root = TestPki::make().trustedRoot.certificatePem();
  EXPECT_TRUE(TrustAnchor::fromPem(root));
  EXPECT_TRUE(TrustAnchor::fromPem(root + root));
  EXPECT_FALSE(TrustAnchor::fromPem(""));
  EXPECT_FALSE(TrustAnchor::fromPem("not a certificate"));
  std::string damaged = root;
  damaged.erase(damaged.size() / 2, 10);
  EXPECT_FALSE(TrustAnchor::fromPem(damaged));
}

TEST(SigningIdentity, RefusesAKeyOfAnotherCertificate) {
  std::string error;
  EXPECT_FALSE(
      SigningIdentity::fromPem(pki().untrusted.keyPem, pki().good.certificatePem, "", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(SigningIdentity::load("only-one-path", &error));
  EXPECT_FALSE(SigningIdentity::load("a,b,c,d", &error));
}

}  // namespace
}  // namespace platform::security
