#include "codesign/security.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <limits>
#include <optional>
#include <utility>

#include "codesign/openssl_types.h"
#include "platform/fd_io.h"

namespace codesign {

struct TrustAnchor::Certificates {
  std::vector<X509Ptr> list;
};

namespace {

using platform::UniqueFd;
using transport::AuditToken;

// A check hashes every signed byte of the file. SHA-256 itself is
// the cost (about 0.5 ms a megabyte here); reads this large keep the rest
// to a system call per megabyte, into a buffer that is never zero-filled.
constexpr std::size_t kHashChunkSize = std::size_t{1} << 20;
constexpr int kMaxChainLength = 16;
constexpr std::size_t kUsualBlockSize = std::size_t{16} * 1024;

// OpenSSL records every failure in a per-thread queue; the daemon's threads
// live long, so each check leaves the queue empty behind it.
class ErrorQueueGuard {
 public:
  ErrorQueueGuard() = default;
  ErrorQueueGuard(const ErrorQueueGuard&) = delete;
  ErrorQueueGuard& operator=(const ErrorQueueGuard&) = delete;
  ~ErrorQueueGuard() { ERR_clear_error(); }
};

// The signature of one code object, parsed but not yet verified.
struct LoadedSignature {
  std::uint64_t signedLength = 0;
  std::string manifestText;
  Manifest manifest;
  CmsPtr cms;
  CMS_SignerInfo* signerInfo = nullptr;  // owned by cms
  X509* signer = nullptr;                // owned by cms
};

bool isAcceptedDigest(const X509_ALGOR* algorithm) {
  const int nid = OBJ_obj2nid(algorithm->algorithm);
  return nid == NID_sha256 || nid == NID_sha384 || nid == NID_sha512;
}

// The signature block at the end of the file `fd`, with its manifest.
OSStatus readSignatureBlock(int fd, SignatureBlock* block, Manifest* manifest) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return errSecCSSignatureNotVerifiable;
  const auto fileSize = static_cast<std::uint64_t>(st.st_size);
  // A signature block is a few kilobytes; the parser's bound is 260 KiB.
  // Read the common size first and the bound only when the block is larger.
  ParsedSignature parsed;
  std::vector<std::uint8_t> tail;
  for (const std::size_t wanted : {kUsualBlockSize, kMaxBlockSize}) {
    tail.resize(static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, wanted)));
    if (!platform::preadExactly(fd, reinterpret_cast<char*>(tail.data()), tail.size(),
                                fileSize - tail.size())) {
      return errSecCSSignatureNotVerifiable;
    }
    parsed = parseSignature(tail, fileSize);
    if (parsed.status != ParseStatus::kMalformed || tail.size() == fileSize) break;
  }
  switch (parsed.status) {
    case ParseStatus::kSigned:
      break;
    case ParseStatus::kUnsigned:
      return errSecCSUnsigned;
    case ParseStatus::kMalformed:
      return errSecCSSignatureFailed;
    case ParseStatus::kUnsupported:
      return errSecCSSignatureUnsupported;
  }
  switch (parseManifest(parsed.block.manifest, manifest)) {
    case ManifestStatus::kOk:
      *block = std::move(parsed.block);
      return errSecSuccess;
    case ManifestStatus::kMalformed:
      return errSecCSSignatureFailed;
    case ManifestStatus::kUnsupported:
      return errSecCSSignatureUnsupported;
  }
  return errSecCSSignatureFailed;
}

// The CMS structure of `der`: detached SignedData over data, exactly one
// signer, encoded in the one DER form.
OSStatus parseCms(const std::vector<std::uint8_t>& der, CmsPtr* out) {
  const unsigned char* cursor = der.data();
  CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(der.size())));
  // The DER must fill its slot exactly (no bytes hidden after it) and
  // re-encode to itself: OpenSSL also reads BER and overlooks some flipped
  // tag bits, which would let more byte strings pass for one signature.
  if (!cms || cursor != der.data() + der.size()) return errSecCSSignatureFailed;
  unsigned char* reencoded = nullptr;
  const int reencodedSize = i2d_CMS_ContentInfo(cms.get(), &reencoded);
  const OpenSslBytes owner(reencoded);
  if (reencodedSize != static_cast<int>(der.size()) ||
      !std::equal(der.begin(), der.end(), reencoded)) {
    return errSecCSSignatureFailed;
  }
  if (OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed ||
      CMS_is_detached(cms.get()) != 1 ||
      OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_pkcs7_data) {
    return errSecCSSignatureFailed;
  }
  STACK_OF(CMS_SignerInfo)* signerInfos = CMS_get0_SignerInfos(cms.get());
  if (signerInfos == nullptr || sk_CMS_SignerInfo_num(signerInfos) != 1) {
    return errSecCSSignatureFailed;
  }
  *out = std::move(cms);
  return errSecSuccess;
}

// Finds the one signer's certificate among the carried ones and binds it to
// the signer info.
OSStatus bindSigner(LoadedSignature* loaded) {
  CMS_SignerInfo* signerInfo = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(loaded->cms.get()), 0);
  X509_ALGOR* digest = nullptr;
  CMS_SignerInfo_get0_algs(signerInfo, nullptr, nullptr, &digest, nullptr);
  if (digest == nullptr || !isAcceptedDigest(digest)) return errSecCSSignatureUnsupported;

  X509StackPtr certificates(CMS_get1_certs(loaded->cms.get()));
  X509* signer = nullptr;
  for (int i = 0; certificates && i < sk_X509_num(certificates.get()); ++i) {
    X509* candidate = sk_X509_value(certificates.get(), i);
    if (CMS_SignerInfo_cert_cmp(signerInfo, candidate) == 0) {
      signer = candidate;
      break;
    }
  }
  if (signer == nullptr) return errSecCSSignatureFailed;
  CMS_SignerInfo_set1_signer_cert(signerInfo, signer);
  loaded->signerInfo = signerInfo;
  CMS_SignerInfo_get0_algs(signerInfo, nullptr, &loaded->signer, nullptr, nullptr);
  return errSecSuccess;
}

// Parses the CMS structure of a block read with its manifest, and finds the
// signer's certificate among the carried ones.
OSStatus loadCms(SignatureBlock& block, LoadedSignature* loaded) {
  loaded->signedLength = block.signedLength;
  loaded->manifestText = std::move(block.manifest);
  const OSStatus status = parseCms(block.cms, &loaded->cms);
  return status != errSecSuccess ? status : bindSigner(loaded);
}

// Reads and parses the signature block, the manifest and the CMS structure,
// and finds the signer's certificate among the carried ones.
OSStatus loadSignature(const SecCode& code, LoadedSignature* loaded) {
  SignatureBlock block;
  const OSStatus status = readSignatureBlock(code.fd(), &block, &loaded->manifest);
  return status != errSecSuccess ? status : loadCms(block, loaded);
}

// SHA-256 of the first `length` bytes read through `fd`.
OSStatus checkHash(int fd, std::uint64_t length, const Sha256& expected) {
  EvpMdCtxPtr context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return errSecCSInternalError;
  }
  const auto capacity = static_cast<std::size_t>(std::min<std::uint64_t>(kHashChunkSize, length));
  const std::unique_ptr<std::uint8_t[]> buffer(
      new std::uint8_t[std::max<std::size_t>(capacity, 1)]);
  for (std::uint64_t offset = 0; offset < length;) {
    const auto chunk = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, length - offset));
    if (!platform::preadExactly(fd, reinterpret_cast<char*>(buffer.get()), chunk, offset)) {
      return errSecCSSignatureNotVerifiable;
    }
    if (EVP_DigestUpdate(context.get(), buffer.get(), chunk) != 1) return errSecCSInternalError;
    offset += chunk;
  }
  Sha256 actual{};
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), actual.data(), &size) != 1 || size != actual.size()) {
    return errSecCSInternalError;
  }
  return actual == expected ? errSecSuccess : errSecCSSignatureFailed;
}

// Frees the digest BIOs that CMS_dataInit stacked on top of the content BIO,
// leaving the content BIO to its own owner.
class CmsDataChain {
 public:
  CmsDataChain(BIO* top, BIO* content) : top_(top), content_(content) {}
  CmsDataChain(const CmsDataChain&) = delete;
  CmsDataChain& operator=(const CmsDataChain&) = delete;
  ~CmsDataChain() {
    while (top_ != nullptr && top_ != content_) {
      BIO* next = BIO_pop(top_);
      BIO_free(top_);
      top_ = next;
    }
  }
  BIO* get() const { return top_; }

 private:
  BIO* top_;
  BIO* content_;
};

// The cryptographic check alone: the signed attributes verify with the
// signer's key, and their message digest is that of the manifest. Trust in
// the signer is not judged here but by the anchor clause.
OSStatus checkCmsSignature(const LoadedSignature& loaded) {
  if (CMS_SignerInfo_verify(loaded.signerInfo) != 1) return errSecCSSignatureFailed;
  BioPtr content = memoryBio(loaded.manifestText);
  if (!content) return errSecCSInternalError;
  CmsDataChain chain(CMS_dataInit(loaded.cms.get(), content.get()), content.get());
  if (chain.get() == nullptr) return errSecCSSignatureFailed;
  char sink[512];
  int n = 0;
  while ((n = BIO_read(chain.get(), sink, sizeof sink)) > 0) {
  }
  if (n < 0) return errSecCSSignatureFailed;
  return CMS_SignerInfo_verify_content(loaded.signerInfo, chain.get()) == 1
             ? errSecSuccess
             : errSecCSSignatureFailed;
}

bool hasCodeSigningUsage(X509* certificate) {
  const std::uint32_t flags = X509_get_extension_flags(certificate);
  // Without the extension OpenSSL reports every usage as allowed; a code
  // signature needs the usage stated.
  if ((flags & EXFLAG_INVALID) != 0 || (flags & EXFLAG_XKUSAGE) == 0) return false;
  return (X509_get_extended_key_usage(certificate) & XKU_CODE_SIGN) != 0;
}

// A store trusting exactly the anchor's certificates, for any purpose (the
// code-signing usage is checked separately), partial chains allowed so that
// an intermediate can be the anchor. Null only when out of memory.
X509StorePtr makeStore(const TrustAnchor& anchor) {
  X509StorePtr store(X509_STORE_new());
  if (!store) return nullptr;
  for (const X509Ptr& certificate : anchor.certificates().list) {
    if (X509_STORE_add_cert(store.get(), certificate.get()) != 1) return nullptr;
  }
  // OpenSSL 3.0 has no code-signing purpose, and CMS_verify would otherwise
  // demand the S/MIME one: allow any here and check the usage ourselves.
  if (X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY) != 1 ||
      X509_STORE_set_flags(store.get(), X509_V_FLAG_PARTIAL_CHAIN) != 1) {
    return nullptr;
  }
  return store;
}

// From the latest start to the earliest end of validity of the certificates
// of the chain `context` verified, to the second, a start with a fraction of
// a second rounded up; nullopt when a time cannot be read.
std::optional<std::pair<std::time_t, std::time_t>> chainValidity(X509_STORE_CTX* context) {
  STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context);
  if (chain == nullptr || sk_X509_num(chain) == 0) return std::nullopt;
  std::pair<std::time_t, std::time_t> window{std::numeric_limits<std::time_t>::min(),
                                             std::numeric_limits<std::time_t>::max()};
  for (int i = 0; i < sk_X509_num(chain); ++i) {
    const X509* certificate = sk_X509_value(chain, i);
    std::tm from{};
    std::tm until{};
    if (ASN1_TIME_to_tm(X509_get0_notBefore(certificate), &from) != 1 ||
        ASN1_TIME_to_tm(X509_get0_notAfter(certificate), &until) != 1) {
      return std::nullopt;
    }
    window.first = std::max(window.first, ::timegm(&from) + 1);
    window.second = std::min(window.second, ::timegm(&until));
  }
  return window;
}

// The chain from the signer verifies to the anchor (the carried certificates
// serve only as intermediates), and the signer may sign code. The signature
// itself was checked before (checkCmsSignature); CMS_verify would check it
// again, at the cost of one more public-key operation per admission. When it
// holds, `verdict` learns the chain's validity window.
bool satisfiesAnchor(const LoadedSignature& loaded, const TrustAnchor& anchor,
                     VerifiedCodeCache::Verdict* verdict) {
  X509StorePtr store = makeStore(anchor);
  X509StoreCtxPtr context(X509_STORE_CTX_new());
  X509StackPtr carried(CMS_get1_certs(loaded.cms.get()));
  if (!store || !context || !carried ||
      X509_STORE_CTX_init(context.get(), store.get(), loaded.signer, carried.get()) != 1) {
    return false;
  }
  if (X509_verify_cert(context.get()) != 1 || !hasCodeSigningUsage(loaded.signer)) return false;
  verdict->anchorValidity = chainValidity(context.get());
  return true;
}

// Every OU of `name` as UTF-8, in order; nullopt when one cannot be
// converted.
std::optional<std::vector<std::string>> organizationalUnits(const X509_NAME* name) {
  std::vector<std::string> units;
  for (int index = -1;;) {
    index = X509_NAME_get_index_by_NID(name, NID_organizationalUnitName, index);
    if (index < 0) break;
    const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, data);
    const OpenSslBytes owner(utf8);
    if (length < 0) return std::nullopt;
    units.emplace_back(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
  }
  return units;
}

std::string oneLineName(const X509_NAME* name) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) return {};
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

bool satisfies(const RequirementClause& clause, const LoadedSignature& loaded,
               const TrustAnchor& anchor, VerifiedCodeCache::Verdict* verdict) {
  switch (clause.kind) {
    case RequirementClause::Kind::kAnchorAppleGeneric:
      return satisfiesAnchor(loaded, anchor, verdict);
    case RequirementClause::Kind::kIdentifier:
      return loaded.manifest.identifier == clause.value;
    case RequirementClause::Kind::kLeafSubjectOU: {
      // Exactly one OU, equal to the value: with several, which one is "the"
      // Team ID would be a guess, and a guess here admits a stranger.
      const std::optional<std::vector<std::string>> units =
          organizationalUnits(X509_get_subject_name(loaded.signer));
      return units && units->size() == 1 && units->front() == clause.value;
    }
  }
  return false;
}

// SecCodeCheckValidity. With `verified` (not null): a file it knows unchanged
// is neither hashed nor has its signature and chain verified again, only its
// requirement judged from the remembered verdict; and it is told of a file
// that passes every check.
OSStatus checkValidity(const SecCode* code, SecCSFlags flags, const SecRequirement* requirement,
                       const TrustAnchor& anchor, VerifiedCodeCache* verified) {
  if (code == nullptr) return errSecCSObjectRequired;
  if (flags != kSecCSDefaultFlags) return errSecCSInvalidFlags;
  ErrorQueueGuard guard;
  LoadedSignature loaded;
  SignatureBlock block;
  OSStatus status = readSignatureBlock(code->fd(), &block, &loaded.manifest);
  if (status != errSecSuccess) return status;
  // The clock is read before the file is described: a write between the two
  // would otherwise count as older than the hashing, and could share the
  // change time of the write before it.
  timespec hashStarted{};
  ::clock_gettime(CLOCK_REALTIME, &hashStarted);
  const std::optional<VerifiedCodeCache::Entry> entry =
      verified == nullptr
          ? std::nullopt
          : VerifiedCodeCache::describe(code->fd(), block.signedLength, loaded.manifest.hash);
  const std::optional<VerifiedCodeCache::Verdict> known =
      entry ? verified->find(*entry) : std::nullopt;
  if (known && (requirement == nullptr ||
                VerifiedCodeCache::admits(*known, requirement->requirement(),
                                          loaded.manifest.identifier, std::time(nullptr)))) {
    return errSecSuccess;
  }
  status = loadCms(block, &loaded);
  if (status != errSecSuccess) return status;
  if (!known) {
    status = checkHash(code->fd(), loaded.signedLength, loaded.manifest.hash);
    if (status != errSecSuccess) return status;
  }
  status = checkCmsSignature(loaded);
  if (status != errSecSuccess || requirement == nullptr) return status;
  VerifiedCodeCache::Verdict verdict;
  for (const RequirementClause& clause : requirement->requirement().clauses) {
    if (!satisfies(clause, loaded, anchor, &verdict)) return errSecCSReqFailed;
  }
  if (entry) {
    verdict.leafUnits = organizationalUnits(X509_get_subject_name(loaded.signer));
    verified->remember(*entry, code->fd(), hashStarted, std::move(verdict));
  }
  return errSecSuccess;
}

}  // namespace

std::optional<TrustAnchor> TrustAnchor::fromPem(std::string_view pem) {
  ErrorQueueGuard guard;
  auto certificates = std::make_shared<Certificates>();
  BioPtr bio = memoryBio(pem);
  if (!bio) return std::nullopt;
  while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    certificates->list.emplace_back(certificate);
  }
  const unsigned long last = ERR_peek_last_error();
  if (certificates->list.empty() || (last != 0 && ERR_GET_REASON(last) != PEM_R_NO_START_LINE)) {
    return std::nullopt;
  }
  TrustAnchor anchor;
  anchor.certificates_ = std::move(certificates);
  return anchor;
}

std::optional<TrustAnchor> TrustAnchor::fromFile(const std::string& path) {
  std::string pem, err;
  if (!platform::readWholeFile(path, &pem, &err)) return std::nullopt;
  return fromPem(pem);
}

OSStatus SecStaticCodeCreateWithPath(const std::string& path, SecCSFlags flags,
                                     SecCodeRef* staticCode) {
  if (staticCode == nullptr) return errSecCSObjectRequired;
  if (flags != kSecCSDefaultFlags) return errSecCSInvalidFlags;
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!file || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return errSecCSStaticCodeNotFound;
  }
  *staticCode = std::make_unique<SecCode>(std::move(file), -1);
  return errSecSuccess;
}

OSStatus SecRequirementCreateWithString(std::string_view text, SecCSFlags flags,
                                        SecRequirementRef* requirement) {
  if (requirement == nullptr) return errSecCSObjectRequired;
  if (flags != kSecCSDefaultFlags) return errSecCSInvalidFlags;
  std::optional<Requirement> compiled = compileRequirement(text);
  if (!compiled) return errSecCSReqInvalid;
  *requirement = std::make_unique<SecRequirement>(std::move(*compiled));
  return errSecSuccess;
}

OSStatus SecCodeCheckValidity(const SecCode* code, SecCSFlags flags,
                              const SecRequirement* requirement, const TrustAnchor& anchor) {
  return checkValidity(code, flags, requirement, anchor, nullptr);
}

OSStatus SecCodeCopySigningInformation(const SecCode* code, SecCSFlags flags,
                                       SigningInformation* information) {
  if (code == nullptr || information == nullptr) return errSecCSObjectRequired;
  if (flags != kSecCSDefaultFlags) return errSecCSInvalidFlags;
  ErrorQueueGuard guard;
  LoadedSignature loaded;
  const OSStatus status = loadSignature(*code, &loaded);
  if (status != errSecSuccess) return status;

  SigningInformation info;
  info.identifier = loaded.manifest.identifier;
  info.hashAlgorithm = std::string(kManifestHashAlgorithm);
  info.hash = loaded.manifest.hash;
  info.signedLength = loaded.signedLength;
  const X509_NAME* subject = X509_get_subject_name(loaded.signer);
  info.leafSubject = oneLineName(subject);
  info.leafOrganizationalUnits = organizationalUnits(subject).value_or(std::vector<std::string>{});
  if (info.leafOrganizationalUnits.size() == 1) {
    info.teamIdentifier = info.leafOrganizationalUnits.front();
  }
  // Follow issuers through the carried certificates; the bound stops a
  // loop of certificates that name each other.
  X509StackPtr certificates(CMS_get1_certs(loaded.cms.get()));
  X509* current = loaded.signer;
  for (int depth = 0; current != nullptr && depth < kMaxChainLength; ++depth) {
    info.authorities.push_back(oneLineName(X509_get_subject_name(current)));
    if (X509_check_issued(current, current) == X509_V_OK) break;  // self-issued: a root
    X509* issuer = nullptr;
    for (int i = 0; certificates && i < sk_X509_num(certificates.get()); ++i) {
      X509* candidate = sk_X509_value(certificates.get(), i);
      if (candidate != current && X509_check_issued(candidate, current) == X509_V_OK) {
        issuer = candidate;
        break;
      }
    }
    current = issuer;
  }
  *information = std::move(info);
  return errSecSuccess;
}

OSStatus LinuxCodeSigningServices::SecCodeCopyGuestWithAttributes(const SecCode* host,
                                                                  const GuestAttributes& attributes,
                                                                  SecCSFlags flags,
                                                                  SecCodeRef* guest) const {
  return codesign::SecCodeCopyGuestWithAttributes(host, attributes, flags, guest);
}

OSStatus LinuxCodeSigningServices::SecRequirementCreateWithString(
    std::string_view text, SecCSFlags flags, SecRequirementRef* requirement) const {
  return codesign::SecRequirementCreateWithString(text, flags, requirement);
}

OSStatus LinuxCodeSigningServices::SecCodeCheckValidity(const SecCode* code, SecCSFlags flags,
                                                        const SecRequirement* requirement) const {
  if (code != nullptr && code->pid() > 0 && code->gid() != clientGroup_) {
    return errSecCSGuestInvalid;
  }
  // Only a guest's file has passed the checks that leave its bytes to root.
  return checkValidity(code, flags, requirement, anchor_,
                       code != nullptr && code->pid() > 0 ? verified_.get() : nullptr);
}

}  // namespace codesign
