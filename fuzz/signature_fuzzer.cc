// A block read as signed is exactly what buildSignatureBlock makes, at the file's end;
// a valid manifest exactly what buildManifest writes.
#include <algorithm>
#include <cassert>
#include <cstdint>
#include <string_view>

#include "codesign/signature_format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace codesign;
  const std::span<const std::uint8_t> file(data, size);
  const ParsedSignature parsed = parseSignature(file);
  if (parsed.status == ParseStatus::kSigned) {
    const auto block = buildSignatureBlock(parsed.block.manifest, parsed.block.cms);
    assert(parsed.block.signedLength + block.size() == size);
    assert(std::equal(block.begin(), block.end(), data + parsed.block.signedLength));
    // Only the tail is needed: a file that is larger in front reads the same.
    assert(parseSignature(file.last(block.size()), size + 1).block.signedLength ==
           parsed.block.signedLength + 1);
  }

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Manifest manifest;
  if (parseManifest(text, &manifest) == ManifestStatus::kOk) {
    assert(isValidIdentifier(manifest.identifier));
    assert(buildManifest(manifest) == text);
  }
  return 0;
}
