// The trust anchor this build was given: the certificate(s) that "anchor
// apple generic" names in production code.
#pragma once

#include <string_view>

namespace codesign {

// PEM text of the anchor: in a development build, the root certificate made
// once in the build tree; in a release build, the file named by
// KORVANE_TRUST_ANCHOR at configure time. Defined in a source that
// cmake/codesign.cmake generates (library korvane_trust_anchor). Never empty.
std::string_view buildTrustAnchorPem();

}  // namespace codesign
