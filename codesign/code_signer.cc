#include "codesign/code_signer.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdlib>

#include "codesign/openssl_types.h"
#include "codesign/signature_format.h"
#include "platform/atomic_file.h"
#include "platform/fd_io.h"

namespace codesign {

namespace {

std::string openSslError(std::string_view what) {
  std::string text(what);
  const unsigned long code = ERR_get_error();
  if (code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text.append(": ").append(buffer);
  }
  ERR_clear_error();
  return text;
}

}  // namespace

struct SigningIdentity::Parts {
  EvpPkeyPtr key;
  X509Ptr certificate;
  X509StackPtr chain;
};

namespace {

// The DER CMS SignedData over `manifest`.
bool signManifest(std::string_view manifest, const SigningIdentity::Parts& identity,
                  std::vector<std::uint8_t>* der, std::string* err) {
  constexpr unsigned int kFlags = CMS_BINARY | CMS_DETACHED | CMS_PARTIAL | CMS_NOSMIMECAP;
  CmsPtr cms(CMS_sign(nullptr, nullptr, identity.chain.get(), nullptr, kFlags));
  if (!cms || !CMS_add1_signer(cms.get(), identity.certificate.get(), identity.key.get(),
                               EVP_sha256(), kFlags)) {
    *err = openSslError("cannot make the CMS signature");
    return false;
  }
  BioPtr content = memoryBio(manifest);
  if (!content || !CMS_final(cms.get(), content.get(), nullptr, kFlags) ||
      CMS_is_detached(cms.get()) != 1) {
    *err = openSslError("cannot sign the manifest");
    return false;
  }
  const int size = i2d_CMS_ContentInfo(cms.get(), nullptr);
  der->resize(static_cast<std::size_t>(std::max(size, 0)));
  unsigned char* out = der->data();
  if (size <= 0 || i2d_CMS_ContentInfo(cms.get(), &out) != size) {
    *err = openSslError("cannot encode the CMS signature");
    return false;
  }
  return true;
}

// What the passphrase callback did, for the error message.
struct PassphraseRequest {
  bool asked = false;
  std::string problem;
};

// OpenSSL's default callback asks on the terminal, which would hang an
// unattended build on an encrypted key; this one only reads the file named
// by the environment.
int passphraseFromFile(char* buffer, int size, int /*rwflag*/, void* userdata) {
  auto* request = static_cast<PassphraseRequest*>(userdata);
  request->asked = true;
  const char* path = std::getenv(kSigningPassphraseFileVariable);
  if (path == nullptr || *path == '\0') {
    request->problem = "the private key is encrypted: name a file holding its passphrase in ";
    request->problem += kSigningPassphraseFileVariable;
    return -1;
  }
  std::string text;
  if (!platform::readWholeFile(path, &text, &request->problem)) return -1;
  text = text.substr(0, text.find_first_of("\r\n"));
  if (text.size() > static_cast<std::size_t>(size)) {
    request->problem = std::string("the passphrase in ") + path + " is too long";
    return -1;
  }
  std::copy(text.begin(), text.end(), buffer);
  return static_cast<int>(text.size());
}

}  // namespace

bool SigningIdentity::fromPem(std::string_view keyPem, std::string_view certPem,
                              std::string_view chainPem, SigningIdentity* identity,
                              std::string* err) {
  auto parts = std::make_shared<Parts>();
  const auto fail = [&](std::string_view what) {
    *err = openSslError(what);
    return false;
  };
  BioPtr keyBio = memoryBio(keyPem);
  PassphraseRequest passphrase;
  parts->key.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, passphraseFromFile, &passphrase));
  if (!parts->key) {
    if (passphrase.problem.empty()) return fail("cannot read the private key");
    *err = passphrase.problem;
    ERR_clear_error();
    return false;
  }
  BioPtr certBio = memoryBio(certPem);
  parts->certificate.reset(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
  if (!parts->certificate) return fail("cannot read the certificate");
  if (X509_check_private_key(parts->certificate.get(), parts->key.get()) != 1) {
    return fail("the private key does not belong to the certificate");
  }
  parts->chain.reset(sk_X509_new_null());
  if (!parts->chain) return fail("out of memory");
  BioPtr chainBio = memoryBio(chainPem);
  while (X509* cert = PEM_read_bio_X509(chainBio.get(), nullptr, nullptr, nullptr)) {
    if (!sk_X509_push(parts->chain.get(), cert)) {
      X509_free(cert);
      return fail("out of memory");
    }
  }
  // The loop ends on the "no start line" of the text's end; anything else
  // is a damaged certificate.
  const unsigned long last = ERR_peek_last_error();
  if (last != 0 && ERR_GET_REASON(last) != PEM_R_NO_START_LINE) {
    return fail("cannot read the certificate chain");
  }
  ERR_clear_error();
  identity->parts_ = std::move(parts);
  return true;
}

bool SigningIdentity::load(std::string_view identityFiles, SigningIdentity* identity,
                           std::string* err) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = identityFiles.find(',', start);
    parts.emplace_back(identityFiles.substr(
        start, comma == std::string_view::npos ? identityFiles.npos : comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (parts.size() < 2 || parts.size() > 3 || parts[0].empty() || parts[1].empty() ||
      (parts.size() == 3 && parts[2].empty())) {
    *err = "an identity is KEY,CERT or KEY,CERT,CHAIN (paths of PEM files)";
    return false;
  }
  std::string pem[3];
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (!platform::readWholeFile(parts[i], &pem[i], err)) return false;
  }
  return fromPem(pem[0], pem[1], pem[2], identity, err);
}

bool signExecutable(std::span<const std::uint8_t> file, std::string_view identifier,
                    const SigningIdentity& identity, std::vector<std::uint8_t>* signedFile,
                    std::string* err) {
  if (!isValidIdentifier(identifier)) {
    *err = "an identifier is 1 to 255 visible ASCII characters";
    return false;
  }
  if (identity.parts() == nullptr) {
    *err = "no signing identity";
    return false;
  }
  const ParsedSignature parsed = parseSignature(file);
  std::span<const std::uint8_t> content = file;
  switch (parsed.status) {
    case ParseStatus::kSigned:
      content = file.first(static_cast<std::size_t>(parsed.block.signedLength));
      break;
    case ParseStatus::kUnsigned:
      break;
    case ParseStatus::kMalformed:
    case ParseStatus::kUnsupported:
      *err = "the file ends in a damaged or unknown signature block";
      return false;
  }
  Manifest manifest;
  manifest.identifier = std::string(identifier);
  unsigned int size = 0;
  if (EVP_Digest(content.data(), content.size(), manifest.hash.data(), &size, EVP_sha256(),
                 nullptr) != 1 ||
      size != manifest.hash.size()) {
    *err = openSslError("cannot hash the file");
    return false;
  }
  const std::string manifestText = buildManifest(manifest);
  std::vector<std::uint8_t> cms;
  if (!signManifest(manifestText, *identity.parts(), &cms, err)) return false;
  if (cms.size() > kMaxCmsSize) {
    *err = "the certificate chain is too large for a signature block";
    return false;
  }
  const std::vector<std::uint8_t> block = buildSignatureBlock(manifestText, cms);
  signedFile->assign(content.begin(), content.end());
  signedFile->insert(signedFile->end(), block.begin(), block.end());
  return true;
}

bool signExecutableFile(const std::string& path, std::string_view identifier,
                        const SigningIdentity& identity, std::string* err) {
  std::string content;
  if (!platform::readWholeFile(path, &content, err)) return false;
  std::vector<std::uint8_t> signedFile;
  if (!signExecutable(asBytes(content), identifier, identity, &signedFile, err)) {
    *err = path + ": " + *err;
    return false;
  }
  platform::AtomicWriteOptions options;
  options.mustExist = true;
  return platform::replaceFileAtomically(
      path, std::string_view(reinterpret_cast<const char*>(signedFile.data()), signedFile.size()),
      options, err);
}

}  // namespace codesign
