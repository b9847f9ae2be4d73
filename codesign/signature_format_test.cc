#include "codesign/signature_format.h"

#include <gtest/gtest.h>

#include "common/big_endian.h"

namespace codesign {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::string kManifest =
    "format 1\nidentifier com.korvane.helper\nhash-algorithm sha256\nhash " + std::string(64, 'a') +
    "\n";

Bytes signedFile() {
  Bytes file = {0x7f, 'E', 'L', 'F', 1, 2, 3};
  const Bytes block = buildSignatureBlock(kManifest, Bytes(50, 0x30));
  file.insert(file.end(), block.begin(), block.end());
  return file;
}

std::size_t headerAt(const Bytes& file, std::size_t i) {
  return file.size() - kSignatureMagic.size() - kHeaderSize + i;
}

TEST(SignatureFormat, ParsesWhatItBuildsAsTheTailOfALargerFileAndClassifiesDamagedBlocks) {
  const Bytes file = signedFile();
  const std::span<const std::uint8_t> tail(file.data() + 3, file.size() - 3);
  // A signed part larger than any executable we sign is refused unread: a
  // block copied onto a huge sparse file must not buy hours of hashing.
  EXPECT_EQ(parseSignature(tail, kMaxSignedSize + tail.size() - 4).status, ParseStatus::kSigned);
  EXPECT_EQ(parseSignature(tail, kMaxSignedSize + tail.size() - 3).status, ParseStatus::kMalformed);
  // A tail must hold the whole block.
  EXPECT_EQ(parseSignature(std::span(file).last(60), file.size()).status, ParseStatus::kMalformed);
  EXPECT_EQ(parseSignature(file, file.size() - 1).status, ParseStatus::kMalformed);

  const struct {
    const char* name;
    void (*damage)(Bytes&);
    ParseStatus expected;
  } cases[] = {
      {"empty file", [](Bytes& f) { f.clear(); }, ParseStatus::kUnsigned},
      {"no signature", [](Bytes& f) { f.resize(7); }, ParseStatus::kUnsigned},
      {"last magic byte changed", [](Bytes& f) { f.back() = '\r'; }, ParseStatus::kUnsigned},
      {"trailing junk", [](Bytes& f) { f.push_back(0); }, ParseStatus::kUnsigned},
      {"header cut short", [](Bytes& f) { f.erase(f.begin(), f.end() - 40); },
       ParseStatus::kMalformed},
      {"other version", [](Bytes& f) { f[headerAt(f, 0)] = 2; }, ParseStatus::kUnsupported},
      {"reserved byte set", [](Bytes& f) { f[headerAt(f, 2)] = 1; }, ParseStatus::kMalformed},
      {"lengths beyond the file start",
       [](Bytes& f) { common::storeBigEndian32(50 + 8, &f[headerAt(f, 8)]); },
       ParseStatus::kMalformed},
      {"block with nothing before it", [](Bytes& f) { f.erase(f.begin(), f.begin() + 7); },
       ParseStatus::kSigned},
  };
  for (const auto& c : cases) {
    Bytes damaged = signedFile();
    c.damage(damaged);
    EXPECT_EQ(parseSignature(damaged).status, c.expected) << c.name;
  }
  for (const auto& [at, limit] : {std::pair{4u, kMaxManifestSize}, std::pair{8u, kMaxCmsSize}}) {
    for (const std::uint64_t length : {std::uint64_t{0}, limit + 1, std::uint64_t{0xffffffff}}) {
      Bytes damaged = signedFile();
      common::storeBigEndian32(static_cast<std::uint32_t>(length), &damaged[headerAt(damaged, at)]);
      EXPECT_EQ(parseSignature(damaged).status, ParseStatus::kMalformed) << at << " " << length;
    }
  }
}

TEST(SignatureFormat, ManifestIsReadStrictly) {
  Manifest parsed;
  const std::string id = "identifier com.x\n", alg = "hash-algorithm sha256\n";
  const std::string sum = "hash " + std::string(64, 'a') + "\n";
  const std::pair<std::string, ManifestStatus> cases[] = {
      {"format 1\n" + id + alg + sum, ManifestStatus::kOk},
      {"format 2\n" + id + alg + sum, ManifestStatus::kUnsupported},
      {"format 1\n" + id + "hash-algorithm sha512\n" + sum, ManifestStatus::kUnsupported},
      {"format 1\n" + id + alg + "hash " + std::string(64, 'A') + "\n", ManifestStatus::kMalformed},
      {"format 1\n" + alg + id + sum, ManifestStatus::kMalformed},
      {"format 1\nidentifier a b\n" + alg + sum, ManifestStatus::kMalformed},
      {"format 1\nidentifier " + std::string(256, 'a') + "\n" + alg + sum,
       ManifestStatus::kMalformed},
      {"format 1\nidentifier a\xc3\xa9\n" + alg + sum, ManifestStatus::kMalformed},
      {std::string("format 1\nidentifier a\0b\n", 24) + alg + sum, ManifestStatus::kMalformed},
      {"", ManifestStatus::kMalformed},
  };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(parseManifest(text, &parsed), expected) << text;
}

}  // namespace
}  // namespace codesign
