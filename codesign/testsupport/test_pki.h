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

// The authorities and identities several tests share, made once per call.
// Leaves are "Korvane Test Signer (QX7ZK2M4PD)", with that OU and codeSigning.
struct TestPki {
  TestCertificateAuthority trustedRoot;
  TestCertificateAuthority untrustedRoot;  // a root of the same name
  TestIdentity good;                       // under the trusted root
  TestIdentity untrusted;                  // under the untrusted root
  TestIdentity viaIntermediate;            // under an intermediate of the trusted root

  static TestPki make();
};

}  // namespace codesign::testing
