#include "codesign/security.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/sha.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "codesign/code_signer.h"
#include "codesign/testsupport/test_pki.h"
#include "codesign/verified_code_cache.h"
#include "platform/pidfd.h"
#include "platform/subprocess.h"
#include "testsupport/testsupport.h"

namespace codesign {
namespace {

using testing::CertificateOptions;
using testing::kClientIdentifier;
using testing::TestCertificate;
using transport::AuditToken;
using Bytes = std::vector<std::uint8_t>;
using Kind = RequirementClause::Kind;

const testing::TestPki& pki() {
  static const testing::TestPki kPki = testing::TestPki::make();
  return kPki;
}

const Bytes& unsignedProgram() {
  static const std::string kText = testsupport::readFile("/bin/sleep");
  static const Bytes kBytes(kText.begin(), kText.end());
  return kBytes;
}

Bytes program(const TestCertificate& identity = pki().good,
              std::string_view identifier = kClientIdentifier) {
  Bytes bytes;
  std::string err;
  EXPECT_TRUE(
      signExecutable(unsignedProgram(), identifier, identity.signingIdentity(), &bytes, &err))
      << err;
  return bytes;
}

Bytes join(Bytes front, std::span<const std::uint8_t> back) {
  front.insert(front.end(), back.begin(), back.end());
  return front;
}

OSStatus checkValidity(const SecCode* code, const TrustAnchor& anchor) {
  SecRequirementRef requirement;
  EXPECT_EQ(
      SecRequirementCreateWithString(testing::kClientRequirement, kSecCSDefaultFlags, &requirement),
      errSecSuccess);
  return SecCodeCheckValidity(code, kSecCSDefaultFlags, requirement.get(), anchor);
}

class CodeSigning : public ::testing::Test {
 protected:
  // Renamed over `name`, as an installer would.
  std::string install(const std::string& name, const Bytes& bytes) {
    testsupport::writeFile(dir_.file(name + ".new"), std::string(bytes.begin(), bytes.end()), 0755);
    EXPECT_EQ(::rename(dir_.file(name + ".new").c_str(), dir_.file(name).c_str()), 0);
    return dir_.file(name);
  }
  OSStatus check(const Bytes& bytes, const TrustAnchor& anchor) {
    SecCodeRef code;
    EXPECT_EQ(SecStaticCodeCreateWithPath(install("program", bytes), kSecCSDefaultFlags, &code),
              errSecSuccess);
    return checkValidity(code.get(), anchor);
  }
  static OSStatus checkGuest(const AuditToken& token) {
    SecCodeRef guest;
    const OSStatus status =
        SecCodeCopyGuestWithAttributes(nullptr, GuestAttributes{token}, kSecCSDefaultFlags, &guest);
    return status == errSecSuccess ? checkValidity(guest.get(), pki().trustedRoot.anchor())
                                   : status;
  }

  testsupport::TempDir dir_;
};

TEST_F(CodeSigning, AdmitsOnlyTheSignatureAndIdentityTheRequirementNames) {
  const TestCertificate& root = pki().trustedRoot;
  const TestCertificate intermediate = root.issue(CertificateOptions::authority("I"));
  TestCertificate deep = root;  // carries more than the 16 KiB a first read takes
  for (int i = 0; i < 40; ++i) deep = deep.issue(CertificateOptions::authority(std::to_string(i)));
  const Bytes large = program(deep.issue());
  ASSERT_GT(parseSignature(large).block.cms.size(), std::size_t{16} << 10);
  const Bytes good = program();
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
  auto upTo = [&](std::size_t size) { return Bytes(good.begin(), good.begin() + size); };
  auto flipped = [&](std::size_t at, std::uint8_t bits) {
    Bytes bytes = good;
    bytes[at] ^= bits;
    return bytes;
  };
  // The end-to-end admission test changes the program's text; here, the rest.
  const struct {
    const char* name;
    Bytes bytes;
    OSStatus expected;
    TrustAnchor anchor = pki().trustedRoot.anchor();
  } cases[] = {
      {"trusted root, right OU and identifier", good, errSecSuccess},
      {"through an intermediate", program(pki().viaIntermediate), errSecSuccess},
      {"under an intermediate as the anchor", program(intermediate.issue()), errSecSuccess,
       intermediate.anchor()},
      {"a block larger than a first read", large, errSecSuccess},
      {"untrusted root", program(pki().untrustedRoot.issue()), errSecCSReqFailed},
      {"other identifier", program(pki().good, "com.korvane.other"), errSecCSReqFailed},
      {"identifier with a suffix", program(pki().good, "com.korvane.Korvane-Activity-Console2"),
       errSecCSReqFailed},
      {"other OU (the CN names the right one)",
       program(root.issue({.organizationalUnits = {"ZZ9ZZ9ZZ9Z"}})), errSecCSReqFailed},
      {"several OUs, one right",
       program(root.issue({.organizationalUnits = {"QX7ZK2M4PD", "ZZ9ZZ9ZZ9Z"}})),
       errSecCSReqFailed},
      {"no OU", program(root.issue({.organizationalUnits = {}})), errSecCSReqFailed},
      {"leaf for serverAuth only", program(root.issue({.extendedKeyUsage = "critical,serverAuth"})),
       errSecCSReqFailed},
      {"leaf without extended key usage", program(root.issue({.extendedKeyUsage = ""})),
       errSecCSReqFailed},
      {"issued by a non-CA", program(root.issue(CertificateOptions::authority("N", false)).issue()),
       errSecCSReqFailed},
      {"identifier in the manifest", flipped(manifestAt + block.manifest.find("Korvane"), 0x20),
       errSecCSSignatureFailed},
      {"manifest digest in the CMS", flipped(digestAt + 5, 1), errSecCSSignatureFailed},
      {"signature value", flipped(headerAt - 1, 1), errSecCSSignatureFailed},
      {"bytes cut out of the CMS", join(upTo(cmsAt + 10), std::span(good).subspan(cmsAt + 20)),
       errSecCSSignatureFailed},
      {"block of another version", flipped(headerAt, 8), errSecCSSignatureUnsupported},
      {"signature moved to another program", join({1, 2, 3}, std::span(good).subspan(manifestAt)),
       errSecCSSignatureFailed},
      {"trailing byte inside the CMS slot",
       join(upTo(manifestAt), buildSignatureBlock(block.manifest, join(block.cms, Bytes{0}))),
       errSecCSSignatureFailed},
  };
  for (const auto& c : cases) EXPECT_EQ(check(c.bytes, c.anchor), c.expected) << c.name;
  // No CMS byte breaks the verifier; some lie outside what is signed, so may still verify.
  for (std::size_t at = cmsAt; at < headerAt; at += 3) {
    const OSStatus status = check(flipped(at, 0x20), cases[0].anchor);
    EXPECT_TRUE(status == errSecSuccess || status == errSecCSSignatureFailed ||
                status == errSecCSSignatureUnsupported || status == errSecCSReqFailed)
        << at << " " << status;
  }
  // A folder is no code; a damaged certificate after a good one fails the whole anchor.
  SecCodeRef code;
  EXPECT_EQ(SecStaticCodeCreateWithPath(dir_.path(), kSecCSDefaultFlags, &code),
            errSecCSStaticCodeNotFound);
  const std::string pem = root.certificatePem;
  EXPECT_TRUE(TrustAnchor::fromPem(pem + pem));
  for (const std::string& text :
       {std::string(), std::string("no certificate"), pem + pem.substr(0, 200) + pem.substr(210)}) {
    EXPECT_FALSE(TrustAnchor::fromPem(text)) << text;
  }
  EXPECT_TRUE(ERR_peek_error() == 0) << "the error queue is left empty";
}

TEST_F(CodeSigning, ChecksTheFileALiveProcessRunsNotThePath) {
  // Our unreaped children: their pids cannot name another process yet.
  auto start = [](const std::string& path) { return platform::Child::spawn(path, {"1000"}, {}); };
  platform::Child a = start(install("a", program())), b = start(install("b", unsignedProgram())),
                  dead = start(install("a", program()));
  const platform::UniqueFd pidfdA(platform::pidfdOpen(a.pid())),
      pidfdB(platform::pidfdOpen(b.pid())), pidfdDead(platform::pidfdOpen(dead.pid())),
      notAPidfd(::open("/dev/null", O_RDONLY));
  for (const auto* pidfd : {&pidfdA, &pidfdB, &pidfdDead}) ASSERT_TRUE(*pidfd);
  install("a", unsignedProgram());
  install("b", program());
  const pid_t pid = a.pid(), deadPid = dead.pid();
  dead.killAndReap();
  // Without a pidfd naming that very process, a reused pid would pass.
  const struct {
    const char* name;
    AuditToken token;
    OSStatus expected;
  } cases[] = {
      {"signed when started", AuditToken{pid, 0, 0, pidfdA.get()}, errSecSuccess},
      {"unsigned when started", AuditToken{b.pid(), 0, 0, pidfdB.get()}, errSecCSUnsigned},
      {"no pidfd", AuditToken{pid, 0, 0, -1}, errSecCSInvalidAttributeValues},
      {"pidfd of another process", AuditToken{pid, 0, 0, pidfdB.get()}, errSecCSNoSuchCode},
      {"not a pidfd", AuditToken{pid, 0, 0, notAPidfd.get()}, errSecCSNoSuchCode},
      {"process ended", AuditToken{deadPid, 0, 0, pidfdDead.get()}, errSecCSNoSuchCode},
  };
  for (const auto& c : cases) EXPECT_EQ(checkGuest(c.token), c.expected) << c.name;
}

TEST(RequirementCompiler, CompilesTheSubsetAndNothingElse) {
  const std::pair<std::string, std::vector<RequirementClause>> compiled[] = {
      {testing::kClientRequirement,
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
  // Anything looser than the subset must not compile into something weaker.
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

// A file rewritten in place with its modification time put back keeps its
// inode, size and mtime: only the change time tells, so it must be in the key.
TEST(VerifiedCodeCache, ForgetsAFileRewrittenWithItsOldModificationTime) {
  testsupport::TempDir dir;
  const std::string path = dir.file("client");
  testsupport::writeFile(path, "signed bytes");
  platform::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC));
  const Sha256 hash{};
  const auto before = VerifiedCodeCache::describe(fd.get(), 12, hash);
  if (!before) GTEST_SKIP() << "the temporary folder is on tmpfs, which is never cached";
  VerifiedCodeCache cache;
  timespec later{};
  ::clock_gettime(CLOCK_REALTIME, &later);
  later.tv_sec += VerifiedCodeCache::kSettleSeconds + 1;  // as if hashed once the file settled
  cache.remember(*before, fd.get(), later);
  ASSERT_TRUE(cache.find(*before));

  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // past the coarse clock's tick
  ASSERT_EQ(::pwrite(fd.get(), "S", 1, 0), 1);
  const timespec times[2] = {before->modified, before->modified};
  ASSERT_EQ(::futimens(fd.get(), times), 0);
  const auto after = VerifiedCodeCache::describe(fd.get(), 12, hash);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->modified.tv_nsec, before->modified.tv_nsec);
  EXPECT_FALSE(cache.find(*after));
}

TEST(VerifiedCodeCache, AVerdictAdmitsOnlyWhatTheRequirementNamesWhileTheChainIsValid) {
  const auto requirement = compileRequirement(
      "anchor apple generic and identifier \"id\" and certificate leaf[subject.OU] = \"T\"");
  ASSERT_TRUE(requirement);
  const VerifiedCodeCache::Verdict good{{{"T"}}, {{100, 200}}};
  const struct {
    const char* name;
    VerifiedCodeCache::Verdict verdict;
    const char* identifier;
    std::time_t now;
    bool admitted;
  } cases[] = {
      {"within the window, both ends included", good, "id", 100, true},
      {"at its end", good, "id", 200, true},
      {"before the chain is valid", good, "id", 99, false},
      {"after it expired", good, "id", 201, false},
      {"another identifier", good, "other", 150, false},
      {"two OUs", {{{"T", "T"}}, {{100, 200}}}, "id", 150, false},
      {"another OU", {{{"U"}}, {{100, 200}}}, "id", 150, false},
      {"no verdict on the anchor", {{{"T"}}, std::nullopt}, "id", 150, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VerifiedCodeCache::admits(c.verdict, *requirement, c.identifier, c.now), c.admitted)
        << c.name;
  }
}

}  // namespace
}  // namespace codesign
