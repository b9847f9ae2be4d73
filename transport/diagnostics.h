// Diagnostic lines on standard output.
#pragma once

#include <string_view>

namespace transport {

// Writes `text` and a line feed to standard output in one write(2), so that
// lines from threads running at once never interleave.
void writeStandardOutputLine(std::string_view text);

}  // namespace transport
