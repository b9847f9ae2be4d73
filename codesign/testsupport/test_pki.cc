#include "codesign/testsupport/test_pki.h"

#include <fcntl.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <type_traits>
#include <utility>

#include "codesign/file_io.h"
#include "platform/fd_io.h"

namespace codesign::testing {

using platform::UniqueFd;
namespace {

[[noreturn]] void fail(std::string_view what) {
  std::fprintf(stderr, "test_pki: %.*s\n", static_cast<int>(what.size()), what.data());
  ERR_print_errors_fp(stderr);
  std::abort();
}

EvpPkeyPtr makeKey() {
  EvpPkeyPtr key(EVP_EC_gen("P-256"));
  if (!key) fail("cannot make an EC key");
  return key;
}

X509NamePtr makeName(std::string_view commonName, const std::vector<std::string>& units) {
  X509NamePtr name(X509_NAME_new());
  auto add = [&](int nid, std::string_view value) {
    if (!name || X509_NAME_add_entry_by_NID(name.get(), nid, MBSTRING_UTF8,
                                            reinterpret_cast<const unsigned char*>(value.data()),
                                            static_cast<int>(value.size()), -1, 0) != 1) {
      fail("cannot make a name");
    }
  };
  add(NID_commonName, commonName);
  for (const std::string& unit : units) add(NID_organizationalUnitName, unit);
  add(NID_organizationName, "Korvane Test");
  return name;
}

using Extensions = std::vector<std::pair<int, std::string>>;

// A certificate for `subjectKey` under `subject`, signed by `issuerKey`;
// `issuer` null means self-signed.
X509Ptr makeCertificate(EVP_PKEY* subjectKey, const X509_NAME* subject, X509* issuer,
                        EVP_PKEY* issuerKey, const Extensions& extensions) {
  X509Ptr cert(X509_new());
  std::uint64_t serial = 0;
  if (!cert || RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) != 1) {
    fail("cannot start a certificate");
  }
  serial >>= 1;  // positive
  if (X509_set_version(cert.get(), X509_VERSION_3) != 1 ||
      ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial + 1) != 1 ||
      !X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) ||
      !X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600) ||
      X509_set_subject_name(cert.get(), subject) != 1 ||
      X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : subject) != 1 ||
      X509_set_pubkey(cert.get(), subjectKey) != 1) {
    fail("cannot fill a certificate");
  }
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
  for (const auto& [nid, value] : extensions) {
    X509ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    if (!extension || X509_add_ext(cert.get(), extension.get(), -1) != 1) {
      fail("cannot add extension " + value);
    }
  }
  if (X509_sign(cert.get(), issuerKey, EVP_sha256()) <= 0) fail("cannot sign a certificate");
  return cert;
}

template <typename T>
std::string toPem(T* object) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  int written = 0;
  if constexpr (std::is_same_v<T, X509>) {
    written = bio ? PEM_write_bio_X509(bio.get(), object) : 0;
  } else {
    written =
        bio ? PEM_write_bio_PrivateKey(bio.get(), object, nullptr, nullptr, 0, nullptr, nullptr)
            : 0;
  }
  if (written != 1) fail("cannot write PEM");
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

void writeFile(const std::string& path, std::string_view text) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd || !platform::writeAll(fd.get(), text)) fail("cannot write " + path);
}

}  // namespace

SigningIdentity TestIdentity::signingIdentity() const {
  std::string error;
  std::optional<SigningIdentity> identity =
      SigningIdentity::fromPem(keyPem, certificatePem, chainPem, &error);
  if (!identity) fail(error);
  return std::move(*identity);
}

std::string TestIdentity::writeFiles(const std::string& dir, const std::string& stem) const {
  std::string files = dir + "/" + stem + ".key," + dir + "/" + stem + ".pem";
  writeFile(dir + "/" + stem + ".key", keyPem);
  writeFile(dir + "/" + stem + ".pem", certificatePem);
  if (!chainPem.empty()) {
    writeFile(dir + "/" + stem + "-chain.pem", chainPem);
    files += "," + dir + "/" + stem + "-chain.pem";
  }
  return files;
}

TestCertificateAuthority TestCertificateAuthority::makeRoot(std::string_view commonName) {
  TestCertificateAuthority root;
  root.key_ = makeKey();
  X509NamePtr name = makeName(commonName, {});
  root.certificate_ = makeCertificate(root.key_.get(), name.get(), nullptr, root.key_.get(),
                                      {{NID_basic_constraints, "critical,CA:TRUE"},
                                       {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                       {NID_subject_key_identifier, "hash"}});
  return root;
}

TestCertificateAuthority TestCertificateAuthority::fromPem(std::string_view keyPem,
                                                           std::string_view certificatePem) {
  TestCertificateAuthority authority;
  BioPtr keyBio(BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size())));
  BioPtr certBio(BIO_new_mem_buf(certificatePem.data(), static_cast<int>(certificatePem.size())));
  if (!keyBio || !certBio) fail("out of memory");
  authority.key_.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
  authority.certificate_.reset(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
  if (!authority.key_ || !authority.certificate_) fail("cannot read an authority's PEM");
  return authority;
}

std::string TestCertificateAuthority::certificatePem() const { return toPem(certificate_.get()); }

TrustAnchor TestCertificateAuthority::anchor() const {
  std::optional<TrustAnchor> anchor = TrustAnchor::fromPem(certificatePem());
  if (!anchor) fail("cannot make an anchor");
  return std::move(*anchor);
}

TestIdentity TestCertificateAuthority::issueLeaf(const LeafOptions& options) const {
  EvpPkeyPtr key = makeKey();
  X509NamePtr name = makeName(options.commonName, options.organizationalUnits);
  Extensions extensions = {{NID_basic_constraints, "critical,CA:FALSE"},
                           {NID_key_usage, "critical,digitalSignature"},
                           {NID_subject_key_identifier, "hash"},
                           {NID_authority_key_identifier, "keyid:always"}};
  if (options.extendedKeyUsage) {
    extensions.emplace_back(NID_ext_key_usage, options.codeSigningUsage ? "critical,codeSigning"
                                                                        : "critical,serverAuth");
  }
  X509Ptr cert = makeCertificate(key.get(), name.get(), certificate_.get(), key_.get(), extensions);
  return TestIdentity{toPem(key.get()), toPem(cert.get()), chainPem_};
}

TestCertificateAuthority TestCertificateAuthority::issueIntermediate(std::string_view commonName,
                                                                     bool isCa) const {
  TestCertificateAuthority child;
  child.key_ = makeKey();
  X509NamePtr name = makeName(commonName, {});
  child.certificate_ =
      makeCertificate(child.key_.get(), name.get(), certificate_.get(), key_.get(),
                      {{NID_basic_constraints, isCa ? "critical,CA:TRUE" : "critical,CA:FALSE"},
                       {NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature"},
                       {NID_subject_key_identifier, "hash"},
                       {NID_authority_key_identifier, "keyid:always"}});
  child.chainPem_ = toPem(child.certificate_.get()) + chainPem_;
  return child;
}

TestPki TestPki::make(std::string_view teamId, std::string_view otherTeamId) {
  const std::string team(teamId);
  const std::string other(otherTeamId);
  auto leaf = [&](std::vector<std::string> units) {
    LeafOptions options;
    options.commonName = "Korvane Test Signer (" + team + ")";
    options.organizationalUnits = std::move(units);
    return options;
  };
  LeafOptions noCodeSigning = leaf({team});
  noCodeSigning.codeSigningUsage = false;
  LeafOptions noUsage = leaf({team});
  noUsage.extendedKeyUsage = false;

  TestPki pki;
  pki.trustedRoot = TestCertificateAuthority::makeRoot("Korvane Test Root");
  pki.untrustedRoot = TestCertificateAuthority::makeRoot("Korvane Test Root");
  pki.good = pki.trustedRoot.issueLeaf(leaf({team}));
  pki.untrusted = pki.untrustedRoot.issueLeaf(leaf({team}));
  pki.otherTeam = pki.trustedRoot.issueLeaf(leaf({other}));
  pki.noCodeSigning = pki.trustedRoot.issueLeaf(noCodeSigning);
  pki.noUsageStated = pki.trustedRoot.issueLeaf(noUsage);
  pki.multipleTeams = pki.trustedRoot.issueLeaf(leaf({team, other}));
  pki.noTeam = pki.trustedRoot.issueLeaf(leaf({}));
  pki.viaIntermediate =
      pki.trustedRoot.issueIntermediate("Korvane Test Intermediate").issueLeaf(leaf({team}));
  pki.viaNonAuthority = pki.trustedRoot.issueIntermediate("Korvane Test Non-Authority", false)
                            .issueLeaf(leaf({team}));
  return pki;
}

}  // namespace codesign::testing
