// The appended code signature of an executable: pure functions that parse and
// build it. No I/O; every function takes bytes and returns values.
//
// A signed file is laid out as (docs/codesign.md gives it byte by byte):
//
//   [ signed bytes: the executable as it was before signing ]
//   [ manifest: text, kManifest* lines, at most kMaxManifestSize bytes ]
//   [ CMS: DER SignedData, detached, over the manifest bytes ]
//   [ header: kHeaderSize bytes: version, zero, manifest length, CMS length ]
//   [ magic: kSignatureMagic ]
//
// The manifest carries the SHA-256 of the signed bytes, so the signature
// covers every byte before the signature block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace codesign {

inline constexpr std::string_view kSignatureMagic = "~Korvane code signature appended~\n";
inline constexpr std::size_t kHeaderSize = 12;
inline constexpr std::uint8_t kBlockVersion = 1;
inline constexpr std::size_t kMaxManifestSize = std::size_t{4} * 1024;
inline constexpr std::size_t kMaxCmsSize = std::size_t{256} * 1024;
// Largest signature block a parser ever looks at: a caller that hands
// parseSignature the last kMaxBlockSize bytes of a file hands it everything.
inline constexpr std::size_t kMaxBlockSize =
    kMaxManifestSize + kMaxCmsSize + kHeaderSize + kSignatureMagic.size();

inline constexpr std::size_t kMaxIdentifierSize = 255;
// Largest signed part: every check hashes all of it, and a sparse file with
// a copied signature block could otherwise keep the daemon hashing for hours.
inline constexpr std::uint64_t kMaxSignedSize = std::uint64_t{256} << 20;
inline constexpr std::string_view kManifestFormatVersion = "1";
inline constexpr std::string_view kManifestHashAlgorithm = "sha256";

using Sha256 = std::array<std::uint8_t, 32>;

enum class ParseStatus {
  kSigned,       // a well-formed block of a version this code understands
  kUnsigned,     // the magic is absent: no signature at all
  kMalformed,    // the magic is there but the block is truncated or inconsistent
  kUnsupported,  // a well-formed block of another version
};

struct SignatureBlock {
  std::uint64_t signedLength = 0;  // bytes [0, signedLength) of the file are signed
  std::string manifest;
  std::vector<std::uint8_t> cms;
};

struct ParsedSignature {
  ParseStatus status = ParseStatus::kUnsigned;
  SignatureBlock block;  // meaningful only for kSigned
};

// Parses the signature block at the end of a file of `fileSize` bytes whose
// last tail.size() bytes are `tail` (tail.size() <= fileSize; pass at least
// min(fileSize, kMaxBlockSize) bytes). Reads from the end: magic, header,
// then the two lengths, each bounded before use. Never fails otherwise:
// anything inconsistent, a signed part above kMaxSignedSize included, is
// kMalformed.
ParsedSignature parseSignature(std::span<const std::uint8_t> tail, std::uint64_t fileSize);

// The whole file in memory.
inline ParsedSignature parseSignature(std::span<const std::uint8_t> file) {
  return parseSignature(file, file.size());
}

// The signed statement: what is signed, under which identifier.
struct Manifest {
  std::string identifier;
  Sha256 hash{};  // SHA-256 of the signed bytes
};

enum class ManifestStatus { kOk, kMalformed, kUnsupported };

// Parses a manifest exactly as buildManifest writes it: the four lines
//   "format 1", "identifier ID", "hash-algorithm sha256", "hash HEX"
// in that order, each ended by "\n", nothing else. A manifest of another
// format version or hash algorithm that is otherwise well-formed is
// kUnsupported; anything else that does not match is kMalformed.
ManifestStatus parseManifest(std::string_view text, Manifest* manifest);

// The manifest text for `manifest`. Precondition: isValidIdentifier.
std::string buildManifest(const Manifest& manifest);

// Identifiers are 1 to kMaxIdentifierSize visible ASCII characters (0x21 to
// 0x7e): no spaces, controls or bytes a terminal could misread.
bool isValidIdentifier(std::string_view identifier);

// The signature block (manifest, CMS, header, magic) to append to the signed
// bytes. Precondition: manifest.size() <= kMaxManifestSize, cms.size() <=
// kMaxCmsSize.
std::vector<std::uint8_t> buildSignatureBlock(std::string_view manifest,
                                              std::span<const std::uint8_t> cms);

// The bytes of `text`, for the functions here.
inline std::span<const std::uint8_t> asBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Lower-case hex of `bytes`.
std::string toHex(std::span<const std::uint8_t> bytes);

}  // namespace codesign
