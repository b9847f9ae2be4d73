// Owners for the OpenSSL objects the code-signing services use: each is a
// std::unique_ptr whose deleter is the matching OpenSSL free function.
// Private to the code-signing sources: no public header includes it.
#pragma once

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>
#include <string_view>

namespace codesign {

template <typename T, void (*Free)(T*)>
struct OpenSslDeleter {
  void operator()(T* object) const { Free(object); }
};

// BIO_free returns int; wrap it so it fits the deleter's shape.
inline void freeBio(BIO* bio) { BIO_free(bio); }
inline void freeX509Stack(STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); }
// OPENSSL_free is a macro.
inline void freeBytes(unsigned char* bytes) { OPENSSL_free(bytes); }

using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO, freeBio>>;
using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509, X509_free>>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), OpenSslDeleter<STACK_OF(X509), freeX509Stack>>;
using X509StorePtr = std::unique_ptr<X509_STORE, OpenSslDeleter<X509_STORE, X509_STORE_free>>;
using X509StoreCtxPtr =
    std::unique_ptr<X509_STORE_CTX, OpenSslDeleter<X509_STORE_CTX, X509_STORE_CTX_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, OpenSslDeleter<X509_NAME, X509_NAME_free>>;
using X509ExtensionPtr =
    std::unique_ptr<X509_EXTENSION, OpenSslDeleter<X509_EXTENSION, X509_EXTENSION_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslDeleter<EVP_PKEY, EVP_PKEY_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSslDeleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using CmsPtr =
    std::unique_ptr<CMS_ContentInfo, OpenSslDeleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
// Bytes OpenSSL allocated for the caller (i2d_*, ASN1_STRING_to_UTF8).
using OpenSslBytes = std::unique_ptr<unsigned char, OpenSslDeleter<unsigned char, freeBytes>>;

// A read-only memory BIO over `text`, which must outlive it; null when out
// of memory.
inline BioPtr memoryBio(std::string_view text) {
  return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

}  // namespace codesign
