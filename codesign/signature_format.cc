#include "codesign/signature_format.h"

#include <algorithm>
#include <cstring>

#include "common/big_endian.h"

namespace codesign {
namespace {

void appendBe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  std::uint8_t bytes[4];
  common::storeBigEndian32(value, bytes);
  out.insert(out.end(), bytes, bytes + 4);
}

// Takes "KEY VALUE\n" off the front of `text`; false when the next line is
// not exactly that (VALUE may be empty here; callers check it).
bool takeLine(std::string_view& text, std::string_view key, std::string_view* value) {
  if (text.size() < key.size() + 1 || text.substr(0, key.size()) != key ||
      text[key.size()] != ' ') {
    return false;
  }
  const std::size_t end = text.find('\n', key.size() + 1);
  if (end == std::string_view::npos) return false;
  *value = text.substr(key.size() + 1, end - key.size() - 1);
  text.remove_prefix(end + 1);
  return true;
}

bool isToken(std::string_view value, bool (*allowed)(char)) {
  return !value.empty() && value.size() <= 32 && std::all_of(value.begin(), value.end(), allowed);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isAlgorithmChar(char c) { return isDigit(c) || (c >= 'a' && c <= 'z') || c == '-'; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // upper case is refused: one spelling per manifest
}

}  // namespace

ParsedSignature parseSignature(std::span<const std::uint8_t> tail, std::uint64_t fileSize) {
  ParsedSignature result;
  if (tail.size() > fileSize) {
    result.status = ParseStatus::kMalformed;
    return result;
  }
  const std::size_t magicSize = kSignatureMagic.size();
  if (tail.size() < magicSize ||
      std::memcmp(tail.data() + tail.size() - magicSize, kSignatureMagic.data(), magicSize) != 0) {
    result.status = ParseStatus::kUnsigned;
    return result;
  }
  result.status = ParseStatus::kMalformed;
  if (tail.size() < magicSize + kHeaderSize) return result;
  const std::uint8_t* header = tail.data() + tail.size() - magicSize - kHeaderSize;
  if (header[1] != 0 || header[2] != 0 || header[3] != 0) return result;
  if (header[0] != kBlockVersion) {
    result.status = ParseStatus::kUnsupported;
    return result;
  }
  const std::uint32_t manifestSize = common::loadBigEndian32(header + 4);
  const std::uint32_t cmsSize = common::loadBigEndian32(header + 8);
  // Bounding each length before adding keeps every sum far below overflow.
  if (manifestSize == 0 || manifestSize > kMaxManifestSize || cmsSize == 0 ||
      cmsSize > kMaxCmsSize) {
    return result;
  }
  const std::size_t blockSize = std::size_t{manifestSize} + cmsSize + kHeaderSize + magicSize;
  if (blockSize > tail.size()) return result;

  if (fileSize - blockSize > kMaxSignedSize) return result;

  const std::uint8_t* manifest = tail.data() + tail.size() - blockSize;
  const std::uint8_t* cms = manifest + manifestSize;
  result.block.signedLength = fileSize - blockSize;
  result.block.manifest.assign(reinterpret_cast<const char*>(manifest), manifestSize);
  result.block.cms.assign(cms, cms + cmsSize);
  result.status = ParseStatus::kSigned;
  return result;
}

ManifestStatus parseManifest(std::string_view text, Manifest* manifest) {
  std::string_view version, identifier, algorithm, hash;
  if (!takeLine(text, "format", &version) || !isToken(version, isDigit)) {
    return ManifestStatus::kMalformed;
  }
  if (version != kManifestFormatVersion) return ManifestStatus::kUnsupported;
  if (!takeLine(text, "identifier", &identifier) || !isValidIdentifier(identifier) ||
      !takeLine(text, "hash-algorithm", &algorithm) || !isToken(algorithm, isAlgorithmChar)) {
    return ManifestStatus::kMalformed;
  }
  if (algorithm != kManifestHashAlgorithm) return ManifestStatus::kUnsupported;
  if (!takeLine(text, "hash", &hash) || hash.size() != 2 * Sha256{}.size() || !text.empty()) {
    return ManifestStatus::kMalformed;
  }
  Manifest parsed;
  parsed.identifier = std::string(identifier);
  for (std::size_t i = 0; i < parsed.hash.size(); ++i) {
    const int high = hexValue(hash[2 * i]);
    const int low = hexValue(hash[2 * i + 1]);
    if (high < 0 || low < 0) return ManifestStatus::kMalformed;
    parsed.hash[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  *manifest = std::move(parsed);
  return ManifestStatus::kOk;
}

std::string buildManifest(const Manifest& manifest) {
  std::string text;
  text.append("format ").append(kManifestFormatVersion).append("\n");
  text.append("identifier ").append(manifest.identifier).append("\n");
  text.append("hash-algorithm ").append(kManifestHashAlgorithm).append("\n");
  text.append("hash ").append(toHex(manifest.hash)).append("\n");
  return text;
}

bool isValidIdentifier(std::string_view identifier) {
  return !identifier.empty() && identifier.size() <= kMaxIdentifierSize &&
         std::all_of(identifier.begin(), identifier.end(),
                     [](char c) { return c > ' ' && c < 0x7f; });
}

std::vector<std::uint8_t> buildSignatureBlock(std::string_view manifest,
                                              std::span<const std::uint8_t> cms) {
  std::vector<std::uint8_t> block;
  block.reserve(manifest.size() + cms.size() + kHeaderSize + kSignatureMagic.size());
  block.insert(block.end(), manifest.begin(), manifest.end());
  block.insert(block.end(), cms.begin(), cms.end());
  block.insert(block.end(), {kBlockVersion, 0, 0, 0});
  appendBe32(block, static_cast<std::uint32_t>(manifest.size()));
  appendBe32(block, static_cast<std::uint32_t>(cms.size()));
  block.insert(block.end(), kSignatureMagic.begin(), kSignatureMagic.end());
  return block;
}

std::string toHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0xf]);
  }
  return hex;
}

}  // namespace codesign
