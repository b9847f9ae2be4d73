// Certificates for tests, made in memory: roots, intermediates, signing
// leaves, and the identities caller validation must tell apart. A failure to
// make one aborts the test program with a message.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "codesign/code_signer.h"
#include "codesign/security.h"

namespace codesign::testing {

struct LeafOptions {
  std::string commonName = "Test Signer";
  std::vector<std::string> organizationalUnits;  // in order; may be empty or hold several
  bool codeSigningUsage = true;  // extendedKeyUsage codeSigning, else serverAuth only
  bool extendedKeyUsage = true;  // false: no extendedKeyUsage extension at all
};

// A leaf with its private key and the intermediates between it and its root.
struct TestIdentity {
  std::string keyPem;
  std::string certificatePem;
  std::string chainPem;  // intermediates, leaf side first; empty under a root

  SigningIdentity signingIdentity() const;
  // Writes STEM.key, STEM.pem and (when there is a chain) STEM-chain.pem into
  // `dir` and gives the sign command's "KEY,CERT[,CHAIN]".
  std::string writeFiles(const std::string& dir, const std::string& stem) const;
};

// A certificate authority: a root, an intermediate under one, or one given.
class TestCertificateAuthority {
 public:
  static TestCertificateAuthority makeRoot(std::string_view commonName);
  static TestCertificateAuthority fromPem(std::string_view keyPem, std::string_view certificatePem);

  const std::string& certificatePem() const { return certificatePem_; }
  TrustAnchor anchor() const;
  TestIdentity issueLeaf(const LeafOptions& options) const;
  // With `isCa` false, a CA:FALSE certificate used as an authority anyway:
  // what it issues must never verify.
  TestCertificateAuthority issueIntermediate(std::string_view commonName, bool isCa = true) const;

 private:
  std::string keyPem_, certificatePem_;
  std::string chainPem_;  // intermediates from this authority up to its root, excluded
};

// The identities of the admission failure table, made once per call.
struct TestPki {
  TestCertificateAuthority trustedRoot;
  TestCertificateAuthority untrustedRoot;
  TestIdentity good;             // trusted root, OU = team, codeSigning
  TestIdentity untrusted;        // untrusted root, OU = team, codeSigning
  TestIdentity otherTeam;        // trusted root, another OU
  TestIdentity noCodeSigning;    // trusted root, OU = team, serverAuth only
  TestIdentity noUsageStated;    // trusted root, OU = team, no extendedKeyUsage
  TestIdentity multipleTeams;    // trusted root, OU = team and another OU
  TestIdentity noTeam;           // trusted root, no OU
  TestIdentity viaIntermediate;  // trusted root, an intermediate, OU = team
  TestIdentity viaNonAuthority;  // trusted root, a CA:FALSE "issuer", OU = team

  static TestPki make(std::string_view teamId = "QX7ZK2M4PD",
                      std::string_view otherTeamId = "ZZ9ZZ9ZZ9Z");
};

}  // namespace codesign::testing
