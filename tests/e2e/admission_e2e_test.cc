// Caller validation end to end: copies of korvane-helperctl signed in every
// way the admission rule must tell apart, run against the real daemon. Each
// refused copy gets no interface, and the daemon writes exactly the lines of
// its failure, then the rejection warning.

#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "codesign/security.h"
#include "codesign/testsupport/build_identity.h"
#include "codesign/testsupport/test_pki.h"
#include "tests/e2e/sandbox.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
namespace sec = codesign;
using sec::testing::LeafOptions;
using sec::testing::TestCertificateAuthority;
using sec::testing::TestPki;

const char* kGenuine = "com.korvane.Korvane-Activity-Console";
const char* kWarning = "🚨 SECURITY WARNING: Rejected unauthorized XPC connection.\n";
const char* kAdvice =
    "🚨 Make sure your Team ID and Bundle ID are correct and you are signing with an Apple Dev "
    "cert.\n";

void spit(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
  fs::permissions(p, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec |
                         fs::perms::group_read | fs::perms::others_read);
}

// How many leading bytes of `path` its signature covers.
std::uint64_t signedLength(const fs::path& path) {
  sec::SecCodeRef code;
  EXPECT_EQ(sec::SecStaticCodeCreateWithPath(path, sec::kSecCSDefaultFlags, &code), 0);
  sec::SigningInformation info;
  EXPECT_EQ(sec::SecCodeCopySigningInformation(code.get(), sec::kSecCSDefaultFlags, &info), 0);
  return info.signedLength;
}

// Whether an ELF image names a dynamic loader (a PT_INTERP segment).
bool hasInterpreter(const std::string& image) {
  Elf64_Ehdr header;
  if (image.size() < sizeof header) return false;
  std::memcpy(&header, image.data(), sizeof header);
  for (int i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr segment;
    const std::size_t at = header.e_phoff + static_cast<std::size_t>(i) * header.e_phentsize;
    if (at + sizeof segment > image.size()) return false;
    std::memcpy(&segment, image.data() + at, sizeof segment);
    if (segment.p_type == PT_INTERP) return true;
  }
  return false;
}

class AdmissionE2E : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (HasFatalFailure()) return;
    genuine_ = readFile(helperctlPath());
    unsigned_ = genuine_.substr(0, signedLength(helperctlPath()));
  }

  // A copy of the client holding `bytes`, or signed by `identity` as `identifier`.
  fs::path client(const std::string& name, const std::string& bytes) {
    const fs::path path = dir_.path() / name;
    spit(path, bytes);
    return path;
  }
  fs::path signedClient(const std::string& name, const std::string& identity,
                        const std::string& identifier) {
    const fs::path path = client(name, unsigned_);
    RunResult r = run({KORVANE_CODESIGN_TOOL, "sign", "--identity", identity, "--identifier",
                       identifier, path.string()});
    EXPECT_EQ(r.status, 0) << r.err;
    return path;
  }

  // Runs `client` against the daemon; expects it refused with `lines` first.
  void expectRefused(const fs::path& client, const std::string& lines) {
    const std::size_t before = daemon_->output().size();
    RunResult r = run({client.string(), "process-data"});
    EXPECT_EQ(r.status, 69) << client;
    EXPECT_TRUE(r.out.empty()) << client;
    EXPECT_NE(r.err.find("did not admit"), std::string::npos) << r.err;
    EXPECT_EQ(daemon_->output().substr(before), lines + kWarning) << client;
  }
  static std::string auditFailed(int status) {
    return "🚨 SECURITY AUDIT FAILED: Status code " + std::to_string(status) + "\n" + kAdvice;
  }

  TempDir dir_;
  std::string genuine_, unsigned_;
};

TEST_F(AdmissionE2E, GenuineClientIsAdmittedSilently) {
  RunResult r = helperctl({"process-data"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(r.out.empty());
  EXPECT_EQ(daemon_->output(), "");
}

TEST_F(AdmissionE2E, EachKindOfBadSignatureIsRefusedWithItsStatus) {
  const TestPki pki = TestPki::make();
  const std::string keys = dir_.path().string();
  const auto devRoot = TestCertificateAuthority::fromPem(
      readFile(sec::testing::buildRootKeyFile()), readFile(sec::testing::buildTrustAnchorFile()));
  LeafOptions otherTeam;
  otherTeam.commonName = "Other Team (ZZ9ZZ9ZZ9Z)";
  otherTeam.organizationalUnits = {"ZZ9ZZ9ZZ9Z"};

  // A byte of the program's own text, inside the signed bytes: it still runs.
  std::string tampered = genuine_;
  const std::size_t usage = tampered.find("Exit status: 0 success");
  ASSERT_NE(usage, std::string::npos);
  tampered[usage] = 'U';
  // The signature block: manifest, CMS, a 12-byte header with their lengths,
  // then the magic. Garble the manifest's first byte, the last byte of the
  // CMS (the signer's signature value) and a length in the header.
  constexpr std::size_t kMagic = 34, kHeader = 12;
  auto garbled = [&](std::size_t offset) {
    std::string bytes = genuine_;
    bytes[offset] ^= 0x5A;
    return bytes;
  };
  const std::size_t header = genuine_.size() - kMagic - kHeader;

  struct Case {
    const char* name;
    fs::path client;
    int status;
  };
  const Case cases[] = {
      {"unsigned", client("unsigned", unsigned_), -67062},
      {"untrusted root", signedClient("untrusted", pki.untrusted.writeFiles(keys, "u"), kGenuine),
       -67050},
      {"other identifier",
       signedClient("other-id", sec::testing::buildSigningIdentityFiles(), "com.example.other"),
       -67050},
      {"other OU",
       signedClient("other-ou", devRoot.issueLeaf(otherTeam).writeFiles(keys, "o"), kGenuine),
       -67050},
      {"tampered byte", client("tampered", tampered), -67061},
      {"garbled manifest", client("garbled-m", garbled(unsigned_.size())), -67061},
      {"garbled CMS signature", client("garbled-c", garbled(header - 1)), -67061},
      {"garbled header", client("garbled-h", garbled(header + 5)), -67061},
      {"truncated block", client("truncated", genuine_.substr(0, genuine_.size() - 3)), -67062},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expectRefused(c.client, auditFailed(c.status));
  }
  // The daemon carries on serving the genuine client.
  EXPECT_EQ(helperctl({"process-data"}).status, 0);
}

TEST_F(AdmissionE2E, NothingCanBePreloadedIntoTheGenuineClient) {
  if (hasInterpreter(genuine_)) {
    GTEST_SKIP() << "sanitizer builds link the client dynamically";
  }
  const fs::path marker = dir_.path() / "probe-was-loaded";
  RunResult r = run({"/usr/bin/env", "LD_PRELOAD=" KORVANE_PRELOAD_PROBE,
                     "KORVANE_PROBE_FILE=" + marker.string(), helperctlPath(), "process-data"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(marker));
  // The probe itself works: it is loaded into an ordinary program.
  run({"/usr/bin/env", "LD_PRELOAD=" KORVANE_PRELOAD_PROBE, "KORVANE_PROBE_FILE=" + marker.string(),
       "/bin/true"});
  EXPECT_TRUE(fs::exists(marker));
}

TEST_F(AdmissionE2E, GenuineClientInAnotherUserNamespaceIsRefused) {
  // In a user namespace of its own even an unprivileged user holds
  // CAP_SYS_ADMIN: enough to point /proc/<pid>/exe at the genuine client
  // while running other code, and to write another process's pid into its
  // messages' credentials. Started by root with root mapped to itself, the
  // client there still sees the daemon as root and waits for its verdict.
  RunResult r =
      run({"/usr/bin/unshare", "--user", "--map-root-user", helperctlPath(), "process-data"});
  EXPECT_EQ(r.status, 69) << r.err;
  EXPECT_NE(r.err.find("did not admit"), std::string::npos) << r.err;
  EXPECT_EQ(daemon_->output(),
            std::string("🚨 Failed to get SecCode for incoming connection.\n") + kWarning);
}

}  // namespace
}  // namespace e2e
