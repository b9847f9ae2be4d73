// Signing: makes the appended code signature of an executable.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codesign/openssl_types.h"
#include "codesign/signature_format.h"

namespace codesign {

// The environment variable naming the file that holds the passphrase of an
// encrypted signing key.
inline constexpr char kSigningPassphraseFileVariable[] = "KORVANE_SIGNING_PASSPHRASE_FILE";

// A private key with its certificate (the leaf) and the intermediate
// certificates that lead from it towards a root. Immutable once made;
// move-only.
class SigningIdentity {
 public:
  // From PEM text: one private key, one certificate, and zero or more
  // certificates in `chainPem` (may be empty). Nullopt with `error` when a
  // part does not parse or the key does not belong to the certificate.
  // An encrypted key is opened with the first line of the file named by the
  // environment variable KORVANE_SIGNING_PASSPHRASE_FILE; without it loading
  // fails and says so. Nothing is ever asked on a terminal.
  static std::optional<SigningIdentity> fromPem(std::string_view keyPem, std::string_view certPem,
                                                std::string_view chainPem, std::string* error);

  // From files named by "KEY,CERT" or "KEY,CERT,CHAIN" (the form of the
  // sign command's --identity and of the build's signing identity).
  static std::optional<SigningIdentity> load(std::string_view identityFiles, std::string* error);

  EVP_PKEY* key() const { return key_.get(); }
  X509* certificate() const { return certificate_.get(); }
  STACK_OF(X509) * chain() const { return chain_.get(); }

 private:
  EvpPkeyPtr key_;
  X509Ptr certificate_;
  X509StackPtr chain_;
};

// The DER CMS SignedData over `manifest`: detached, SHA-256, signed
// attributes, carrying the leaf and the chain. Nullopt with `error` when
// OpenSSL fails.
std::optional<std::vector<std::uint8_t>> signManifest(std::string_view manifest,
                                                      const SigningIdentity& identity,
                                                      std::string* error);

// `file` signed under `identifier`: the bytes before any earlier signature
// block, then a new block. Nullopt with `error` when the identifier is not
// valid (isValidIdentifier), the file carries a damaged or unknown signature
// block (it is not signed over: strip it by hand), or signing fails.
std::optional<std::vector<std::uint8_t>> signExecutable(std::span<const std::uint8_t> file,
                                                        std::string_view identifier,
                                                        const SigningIdentity& identity,
                                                        std::string* error);

// Signs the regular file at `path` in place, atomically (see
// replaceFileAtomically), keeping its mode bits. False with `error`.
bool signExecutableFile(const std::string& path, std::string_view identifier,
                        const SigningIdentity& identity, std::string* error);

// SHA-256 of `bytes`; nullopt only when OpenSSL fails (out of memory).
std::optional<Sha256> sha256(std::span<const std::uint8_t> bytes);

}  // namespace codesign
