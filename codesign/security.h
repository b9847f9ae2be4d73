// Code-signing services: the Linux counterpart of the Security framework's
// SecCode / SecStaticCode / SecRequirement calls, with the same names, the
// same status numbers and the same order of use, so that caller validation
// reads as it does on macOS:
//
//   SecCodeRef guest;
//   SecCodeCopyGuestWithAttributes(nullptr, {token}, kSecCSDefaultFlags, &guest);
//   SecRequirementRef requirement;
//   SecRequirementCreateWithString(text, kSecCSDefaultFlags, &requirement);
//   SecCodeCheckValidity(guest.get(), kSecCSDefaultFlags, requirement.get(), anchor);
//
// Code is an executable file opened for reading; its signature is the
// appended block of signature_format.h. The trust anchor that "anchor apple
// generic" names is passed in (production code uses the build's anchor,
// build_trust_anchor.h; tests use roots of their own).
//
// Every function here may be called from any thread at the same time; none
// keeps state between calls but LinuxCodeSigningServices, which remembers
// the files whose hashes it checked. Every failure is a negative status
// (sec_status.h); nothing throws. Outputs are written only on success.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codesign/requirement.h"
#include "codesign/sec_status.h"
#include "codesign/signature_format.h"
#include "codesign/verified_code_cache.h"
#include "platform/unique_fd.h"
#include "transport/audit_token.h"

namespace codesign {

using SecCSFlags = std::uint32_t;
inline constexpr SecCSFlags kSecCSDefaultFlags = 0;  // the only flags accepted

// A code object: an executable file held open for reading. For a guest (a
// running process) it is the very file the process executes, opened through
// /proc; every check reads the bytes through this descriptor, never through
// a path.
class SecCode {
 public:
  // Takes ownership of `file`. `pid` is the guest's process id, -1 for
  // static code (a file on disk); `gid` the guest's effective group when it
  // connected.
  SecCode(platform::UniqueFd file, pid_t pid, gid_t gid = static_cast<gid_t>(-1))
      : file_(std::move(file)), pid_(pid), gid_(gid) {}

  int fd() const { return file_.get(); }
  pid_t pid() const { return pid_; }
  gid_t gid() const { return gid_; }

 private:
  platform::UniqueFd file_;
  pid_t pid_;
  gid_t gid_;
};
using SecCodeRef = std::unique_ptr<SecCode>;

// A compiled code requirement (requirement.h).
class SecRequirement {
 public:
  explicit SecRequirement(Requirement requirement) : requirement_(std::move(requirement)) {}
  const Requirement& requirement() const { return requirement_; }

 private:
  Requirement requirement_;
};
using SecRequirementRef = std::unique_ptr<SecRequirement>;

// The guest attribute dictionary. kSecGuestAttributeAudit is its one key:
// the audit token of the process whose code is wanted.
struct GuestAttributes {
  std::optional<transport::AuditToken> audit;  // kSecGuestAttributeAudit
};

// The certificates that "anchor apple generic" trusts: a chain must end in
// one of them. Any of them may be a root or an intermediate. Read-only after
// construction (copies share it), so one anchor may serve many threads.
class TrustAnchor {
 public:
  // Every CERTIFICATE block of `pem`; nullopt when there is none or one does
  // not parse.
  static std::optional<TrustAnchor> fromPem(std::string_view pem);
  static std::optional<TrustAnchor> fromFile(const std::string& path);

  // The parsed certificates, for the code-signing sources only.
  struct Certificates;
  const Certificates& certificates() const { return *certificates_; }

 private:
  std::shared_ptr<const Certificates> certificates_;
};

// Guest code from its audit token: opens /proc/<pid>/exe and only then
// checks that the token's pidfd still names a live process with that pid, so
// a pid reused between the two steps is caught. errSecCSNotAHost for a
// non-null host (only the system is a host here), errSecCSInvalidFlags,
// errSecCSUnsupportedGuestAttributes without an audit token,
// errSecCSInvalidAttributeValues for a token without pid or pidfd,
// errSecCSNoSuchCode when the process is gone, the pidfd names another
// process, it runs in another user namespace, or its executable cannot be
// opened; errSecCSStaticCodeChanged when the executable is one whose bytes
// someone other than root could change behind the running process (not owned
// by root, writable by group or others, on a filesystem not known to be
// local, or on a mount outside the mount namespace of the process itself).
OSStatus SecCodeCopyGuestWithAttributes(const SecCode* host, const GuestAttributes& attributes,
                                        SecCSFlags flags, SecCodeRef* guest);

// Static code: the file at `path`. errSecCSStaticCodeNotFound when it cannot
// be opened or is not a regular file.
OSStatus SecStaticCodeCreateWithPath(const std::string& path, SecCSFlags flags,
                                     SecCodeRef* staticCode);

// Compiles `text` (requirement.h). errSecCSReqInvalid when it is not in the
// subset.
OSStatus SecRequirementCreateWithString(std::string_view text, SecCSFlags flags,
                                        SecRequirementRef* requirement);

// Checks the code's signature, then (when `requirement` is not null) the
// requirement against it, reading the file through the code's descriptor:
//   errSecCSUnsigned             no signature block at all
//   errSecCSSignatureFailed      a damaged block, manifest or CMS structure;
//                                the signed bytes do not hash to the
//                                manifest's hash; the CMS signature does not
//                                verify with the signer's own key
//   errSecCSSignatureUnsupported a well-formed block, manifest or digest of a
//                                kind this code does not know
//   errSecCSSignatureNotVerifiable  the file cannot be read
//   errSecCSReqFailed            a valid signature that does not meet the
//                                requirement: the chain does not verify to
//                                `anchor`, the leaf lacks the codeSigning
//                                usage, another identifier, another OU
//   errSecSuccess                everything holds
OSStatus SecCodeCheckValidity(const SecCode* code, SecCSFlags flags,
                              const SecRequirement* requirement, const TrustAnchor& anchor);

// What a signature says, without verifying it (the counterpart of
// SecCodeCopySigningInformation, for display).
struct SigningInformation {
  std::string identifier;
  std::string hashAlgorithm;  // "sha256"
  Sha256 hash{};              // the manifest's hash of the signed bytes
  std::uint64_t signedLength = 0;
  std::string leafSubject;  // RFC 2253 form
  std::vector<std::string> leafOrganizationalUnits;
  std::optional<std::string> teamIdentifier;  // the leaf's OU when it has exactly one
  std::vector<std::string> authorities;       // subjects: leaf, then up the carried chain
};

// The signature's contents: errSecCSUnsigned, errSecCSSignatureFailed or
// errSecCSSignatureUnsupported when it cannot be read as a signature.
OSStatus SecCodeCopySigningInformation(const SecCode* code, SecCSFlags flags,
                                       SigningInformation* information);

// The calls caller validation needs, behind one interface so that its tests
// can pass a fake. Methods carry the Security framework's names.
class CodeSigningServices {
 public:
  virtual ~CodeSigningServices() = default;
  virtual OSStatus SecCodeCopyGuestWithAttributes(const SecCode* host,
                                                  const GuestAttributes& attributes,
                                                  SecCSFlags flags, SecCodeRef* guest) const = 0;
  virtual OSStatus SecRequirementCreateWithString(std::string_view text, SecCSFlags flags,
                                                  SecRequirementRef* requirement) const = 0;
  virtual OSStatus SecCodeCheckValidity(const SecCode* code, SecCSFlags flags,
                                        const SecRequirement* requirement) const = 0;
};

// The real services, checking against `anchor`. SecCodeCheckValidity of a
// guest also checks that it runs as it was installed: its effective group at
// connect was `clientGroup`, the group the genuine client is installed
// set-group-ID to, else errSecCSGuestInvalid before its file is read. The
// kernel withholds that group from an exec under a tracer (who could rewrite
// the code at its start) and from an exec off a mount that ignores set-id
// bits, and a set-group-ID process is closed to other processes of its user.
// A guest's signed bytes are hashed once while its file stays unchanged
// (verified_code_cache.h); the rest is checked on every call.
class LinuxCodeSigningServices final : public CodeSigningServices {
 public:
  LinuxCodeSigningServices(TrustAnchor anchor, gid_t clientGroup)
      : anchor_(std::move(anchor)),
        clientGroup_(clientGroup),
        verified_(std::make_unique<VerifiedCodeCache>()) {}

  OSStatus SecCodeCopyGuestWithAttributes(const SecCode* host, const GuestAttributes& attributes,
                                          SecCSFlags flags, SecCodeRef* guest) const override;
  OSStatus SecRequirementCreateWithString(std::string_view text, SecCSFlags flags,
                                          SecRequirementRef* requirement) const override;
  OSStatus SecCodeCheckValidity(const SecCode* code, SecCSFlags flags,
                                const SecRequirement* requirement) const override;

 private:
  TrustAnchor anchor_;
  gid_t clientGroup_;
  std::unique_ptr<VerifiedCodeCache> verified_;
};

}  // namespace codesign
