// Signing: makes the appended code signature of an executable.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace codesign {

// The environment variable naming the file that holds the passphrase of an
// encrypted signing key.
inline constexpr char kSigningPassphraseFileVariable[] = "KORVANE_SIGNING_PASSPHRASE_FILE";

// A private key with its certificate (the leaf) and the intermediate
// certificates that lead from it towards a root. Immutable once made (copies
// share it); a default-made identity holds nothing and signs nothing.
class SigningIdentity {
 public:
  // From PEM text: one private key, one certificate, and zero or more
  // certificates in `chainPem` (may be empty). False with `*err` when a part
  // does not parse or the key does not belong to the certificate. An
  // encrypted key is opened with the first line of the file named by the
  // environment variable KORVANE_SIGNING_PASSPHRASE_FILE; without it loading
  // fails and says so. Nothing is ever asked on a terminal.
  static bool fromPem(std::string_view keyPem, std::string_view certPem, std::string_view chainPem,
                      SigningIdentity* identity, std::string* err);

  // From files named by "KEY,CERT" or "KEY,CERT,CHAIN" (the form of the
  // sign command's --identity and of the build's signing identity).
  static bool load(std::string_view identityFiles, SigningIdentity* identity, std::string* err);

  // The OpenSSL objects, for the code-signing sources only; null when empty.
  struct Parts;
  const Parts* parts() const { return parts_.get(); }

 private:
  std::shared_ptr<const Parts> parts_;
};

// `file` signed under `identifier` into `*signedFile`: the bytes before any
// earlier signature block, then a new block (detached CMS, SHA-256, signed
// attributes, carrying the leaf and the chain). False with `*err` when the
// identifier is not valid (isValidIdentifier), the file carries a damaged or
// unknown signature block (it is not signed over: strip it by hand), or
// signing fails.
bool signExecutable(std::span<const std::uint8_t> file, std::string_view identifier,
                    const SigningIdentity& identity, std::vector<std::uint8_t>* signedFile,
                    std::string* err);

// Signs the regular file at `path` in place, atomically (see
// replaceFileAtomically), keeping its mode bits. False with `*err`.
bool signExecutableFile(const std::string& path, std::string_view identifier,
                        const SigningIdentity& identity, std::string* err);

}  // namespace codesign
