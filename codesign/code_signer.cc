#include "codesign/code_signer.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdlib>

#include "codesign/file_io.h"
#include "codesign/signature_format.h"

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

BioPtr memoryBio(std::string_view text) {
  return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

bool readText(const std::string& path, std::string* text, std::string* error) {
  std::vector<std::uint8_t> bytes;
  if (!readWholeFile(path, &bytes, error)) return false;
  text->assign(bytes.begin(), bytes.end());
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
  if (!readText(path, &text, &request->problem)) return -1;
  text = text.substr(0, text.find_first_of("\r\n"));
  if (text.size() > static_cast<std::size_t>(size)) {
    request->problem = std::string("the passphrase in ") + path + " is too long";
    return -1;
  }
  std::copy(text.begin(), text.end(), buffer);
  return static_cast<int>(text.size());
}

}  // namespace

std::optional<SigningIdentity> SigningIdentity::fromPem(std::string_view keyPem,
                                                        std::string_view certPem,
                                                        std::string_view chainPem,
                                                        std::string* error) {
  SigningIdentity identity;
  BioPtr keyBio = memoryBio(keyPem);
  PassphraseRequest passphrase;
  identity.key_.reset(
      PEM_read_bio_PrivateKey(keyBio.get(), nullptr, passphraseFromFile, &passphrase));
  if (!identity.key_) {
    *error = passphrase.problem.empty() ? openSslError("cannot read the private key")
                                        : passphrase.problem;
    ERR_clear_error();
    return std::nullopt;
  }
  BioPtr certBio = memoryBio(certPem);
  identity.certificate_.reset(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
  if (!identity.certificate_) {
    *error = openSslError("cannot read the certificate");
    return std::nullopt;
  }
  if (X509_check_private_key(identity.certificate_.get(), identity.key_.get()) != 1) {
    *error = openSslError("the private key does not belong to the certificate");
    return std::nullopt;
  }
  identity.chain_.reset(sk_X509_new_null());
  if (!identity.chain_) {
    *error = openSslError("out of memory");
    return std::nullopt;
  }
  BioPtr chainBio = memoryBio(chainPem);
  while (X509* cert = PEM_read_bio_X509(chainBio.get(), nullptr, nullptr, nullptr)) {
    if (!sk_X509_push(identity.chain_.get(), cert)) {
      X509_free(cert);
      *error = openSslError("out of memory");
      return std::nullopt;
    }
  }
  // The loop ends on the "no start line" of the text's end; anything else
  // is a damaged certificate.
  const unsigned long last = ERR_peek_last_error();
  if (last != 0 && ERR_GET_REASON(last) != PEM_R_NO_START_LINE) {
    *error = openSslError("cannot read the certificate chain");
    return std::nullopt;
  }
  ERR_clear_error();
  return identity;
}

std::optional<SigningIdentity> SigningIdentity::load(std::string_view identityFiles,
                                                     std::string* error) {
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
    *error = "an identity is KEY,CERT or KEY,CERT,CHAIN (paths of PEM files)";
    return std::nullopt;
  }
  std::string key, cert, chain;
  if (!readText(parts[0], &key, error) || !readText(parts[1], &cert, error) ||
      (parts.size() == 3 && !readText(parts[2], &chain, error))) {
    return std::nullopt;
  }
  return fromPem(key, cert, chain, error);
}

std::optional<std::vector<std::uint8_t>> signManifest(std::string_view manifest,
                                                      const SigningIdentity& identity,
                                                      std::string* error) {
  constexpr unsigned int kFlags = CMS_BINARY | CMS_DETACHED | CMS_PARTIAL | CMS_NOSMIMECAP;
  CmsPtr cms(CMS_sign(nullptr, nullptr, identity.chain(), nullptr, kFlags));
  if (!cms ||
      !CMS_add1_signer(cms.get(), identity.certificate(), identity.key(), EVP_sha256(), kFlags)) {
    *error = openSslError("cannot make the CMS signature");
    return std::nullopt;
  }
  BioPtr content = memoryBio(manifest);
  if (!content || !CMS_final(cms.get(), content.get(), nullptr, kFlags) ||
      CMS_is_detached(cms.get()) != 1) {
    *error = openSslError("cannot sign the manifest");
    return std::nullopt;
  }
  const int size = i2d_CMS_ContentInfo(cms.get(), nullptr);
  if (size <= 0) {
    *error = openSslError("cannot encode the CMS signature");
    return std::nullopt;
  }
  std::vector<std::uint8_t> der(static_cast<std::size_t>(size));
  unsigned char* out = der.data();
  if (i2d_CMS_ContentInfo(cms.get(), &out) != size) {
    *error = openSslError("cannot encode the CMS signature");
    return std::nullopt;
  }
  return der;
}

std::optional<std::vector<std::uint8_t>> signExecutable(std::span<const std::uint8_t> file,
                                                        std::string_view identifier,
                                                        const SigningIdentity& identity,
                                                        std::string* error) {
  if (!isValidIdentifier(identifier)) {
    *error = "an identifier is 1 to 255 visible ASCII characters";
    return std::nullopt;
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
      *error = "the file ends in a damaged or unknown signature block";
      return std::nullopt;
  }
  Manifest manifest;
  manifest.identifier = std::string(identifier);
  const std::optional<Sha256> hash = sha256(content);
  if (!hash) {
    *error = openSslError("cannot hash the file");
    return std::nullopt;
  }
  manifest.hash = *hash;
  const std::string manifestText = buildManifest(manifest);
  std::optional<std::vector<std::uint8_t>> cms = signManifest(manifestText, identity, error);
  if (!cms) return std::nullopt;
  if (cms->size() > kMaxCmsSize) {
    *error = "the certificate chain is too large for a signature block";
    return std::nullopt;
  }
  std::vector<std::uint8_t> block = buildSignatureBlock(manifestText, *cms);
  std::vector<std::uint8_t> signedFile;
  signedFile.reserve(content.size() + block.size());
  signedFile.insert(signedFile.end(), content.begin(), content.end());
  signedFile.insert(signedFile.end(), block.begin(), block.end());
  return signedFile;
}

bool signExecutableFile(const std::string& path, std::string_view identifier,
                        const SigningIdentity& identity, std::string* error) {
  std::vector<std::uint8_t> content;
  if (!readWholeFile(path, &content, error)) return false;
  std::optional<std::vector<std::uint8_t>> signedFile =
      signExecutable(content, identifier, identity, error);
  if (!signedFile) {
    *error = path + ": " + *error;
    return false;
  }
  return replaceFileAtomically(path, *signedFile, error);
}

std::optional<Sha256> sha256(std::span<const std::uint8_t> bytes) {
  Sha256 digest{};
  unsigned int size = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1 ||
      size != digest.size()) {
    return std::nullopt;
  }
  return digest;
}

}  // namespace codesign
