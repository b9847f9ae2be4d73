// Certificates made in memory for tests; a failure to make one aborts the program.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "codesign/code_signer.h"
#include "codesign/security.h"

namespace codesign::testing {

// The genuine client's, which TestPki's leaves meet under that identifier.
inline constexpr char kClientIdentifier[] = "com.korvane.Korvane-Activity-Console";
inline constexpr char kClientRequirement[] =
    "anchor apple generic and identifier \"com.korvane.Korvane-Activity-Console\" and "
    "certificate leaf[subject.OU] = \"QX7ZK2M4PD\"";

// The defaults make a signing leaf like the build's; authority() an intermediate.
struct CertificateOptions {
  std::string commonName = "Korvane Test Signer (QX7ZK2M4PD)";
  std::vector<std::string> organizationalUnits = {"QX7ZK2M4PD"};  // in order
  std::string basicConstraints = "critical,CA:FALSE";
  std::string keyUsage = "critical,digitalSignature";
  std::string extendedKeyUsage = "critical,codeSigning";  // empty: no such extension

  // With `isCa` false, a CA:FALSE authority: what it issues must never verify.
  static CertificateOptions authority(std::string_view commonName, bool isCa = true);
};

struct TestCertificate {
  std::string keyPem;
  std::string certificatePem;
  std::string chainPem;  // intermediates up from here, this one excluded; empty under a root
  bool isRoot = false;   // self-signed

  // Issued by a TestCertificate that holds nothing, a self-signed root.
  TestCertificate issue(const CertificateOptions& options = {}) const;
  TrustAnchor anchor() const;
  SigningIdentity signingIdentity() const;
};

struct TestPki {
  TestCertificate trustedRoot;
  TestCertificate untrustedRoot;    // a root of the same name
  TestCertificate good;             // under the trusted root
  TestCertificate viaIntermediate;  // under an intermediate of the trusted root

  static TestPki make();
};

}  // namespace codesign::testing
