#include "codesign/testsupport/test_pki.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "codesign/openssl_types.h"

namespace codesign::testing {
namespace {

[[noreturn]] void fail(std::string_view what) {
  std::fprintf(stderr, "test_pki: %.*s\n", static_cast<int>(what.size()), what.data());
  ERR_print_errors_fp(stderr);
  std::abort();
}

// The PEM text that `write` puts into a memory BIO.
template <typename Write>
std::string pemOf(Write write) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get()) != 1) fail("cannot write PEM");
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

CertificateOptions CertificateOptions::authority(std::string_view commonName, bool isCa) {
  return {std::string(commonName),
          {},
          isCa ? "critical,CA:TRUE" : "critical,CA:FALSE",
          "critical,keyCertSign,cRLSign,digitalSignature",
          ""};
}

TestCertificate TestCertificate::issue(const CertificateOptions& options) const {
  static std::atomic<std::uint64_t> serial{1};
  EvpPkeyPtr key(EVP_EC_gen("P-256"));
  X509Ptr cert(X509_new());
  X509NamePtr subject(X509_NAME_new());
  BioPtr keyBio = memoryBio(keyPem), certBio = memoryBio(certificatePem);
  EvpPkeyPtr issuerKey(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
  X509Ptr issuer(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
  ERR_clear_error();
  if (!key || !cert || !subject) fail("out of memory");
  auto addName = [&](int nid, std::string_view value) {
    return X509_NAME_add_entry_by_NID(subject.get(), nid, MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char*>(value.data()),
                                      static_cast<int>(value.size()), -1, 0) == 1;
  };
  bool ok = addName(NID_commonName, options.commonName);
  for (const std::string& unit : options.organizationalUnits) {
    ok = ok && addName(NID_organizationalUnitName, unit);
  }
  if (!ok || !addName(NID_organizationName, "Korvane Test") ||
      X509_set_version(cert.get(), X509_VERSION_3) != 1 ||
      ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), serial++) != 1 ||
      !X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) ||
      !X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600) ||
      X509_set_subject_name(cert.get(), subject.get()) != 1 ||
      X509_set_issuer_name(cert.get(),
                           issuer ? X509_get_subject_name(issuer.get()) : subject.get()) != 1 ||
      X509_set_pubkey(cert.get(), key.get()) != 1) {
    fail("cannot fill a certificate");
  }
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer ? issuer.get() : cert.get(), cert.get(), nullptr, nullptr, 0);
  for (const auto& [nid, value] : {std::pair{NID_basic_constraints, options.basicConstraints},
                                   {NID_key_usage, options.keyUsage},
                                   {NID_subject_key_identifier, std::string("hash")},
                                   {NID_authority_key_identifier, std::string("keyid:always")},
                                   {NID_ext_key_usage, options.extendedKeyUsage}}) {
    if (value.empty()) continue;
    X509ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    if (!extension || X509_add_ext(cert.get(), extension.get(), -1) != 1) {
      fail("cannot add extension " + value);
    }
  }
  if (X509_sign(cert.get(), issuerKey ? issuerKey.get() : key.get(), EVP_sha256()) <= 0) {
    fail("cannot sign a certificate");
  }
  TestCertificate issued;
  issued.keyPem = pemOf([&](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  issued.certificatePem = pemOf([&](BIO* bio) { return PEM_write_bio_X509(bio, cert.get()); });
  issued.isRoot = !issuer;
  if (issuer && !isRoot) issued.chainPem = certificatePem + chainPem;
  return issued;
}

TrustAnchor TestCertificate::anchor() const {
  std::optional<TrustAnchor> anchor = TrustAnchor::fromPem(certificatePem);
  if (!anchor) fail("cannot make an anchor");
  return *anchor;
}

SigningIdentity TestCertificate::signingIdentity() const {
  SigningIdentity identity;
  std::string err;
  if (!SigningIdentity::fromPem(keyPem, certificatePem, chainPem, &identity, &err)) fail(err);
  return identity;
}

TestPki TestPki::make() {
  TestPki pki;
  pki.trustedRoot = TestCertificate().issue(CertificateOptions::authority("Korvane Test Root"));
  pki.untrustedRoot = TestCertificate().issue(CertificateOptions::authority("Korvane Test Root"));
  pki.good = pki.trustedRoot.issue();
  pki.viaIntermediate =
      pki.trustedRoot.issue(CertificateOptions::authority("Korvane Test Intermediate")).issue();
  return pki;
}

}  // namespace codesign::testing
