#include "processes/system_processes.h"

#include "common/utf8.h"
#include "platform/subprocess.h"

namespace processes {
namespace {

// Length of the line separator at `i`, 0 when there is none. The input is
// well-formed UTF-8, so the lead bytes C2 and E2 cannot start anything else
// that matches.
std::size_t separatorAt(std::string_view s, std::size_t i) {
  const auto at = [&](std::size_t k) {
    return k < s.size() ? static_cast<unsigned char>(s[k]) : 0;
  };
  switch (at(i)) {
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
      return 1;
    case 0xC2:
      return at(i + 1) == 0x85 ? 2 : 0;  // U+0085
    case 0xE2:
      return at(i + 1) == 0x80 && (at(i + 2) == 0xA8 || at(i + 2) == 0xA9) ? 3 : 0;  // U+2028/9
    default:
      return 0;
  }
}

}  // namespace

std::optional<korvane::Listing> splitOutputLines(std::string_view bytes) {
  if (!common::isValidUtf8(bytes)) return std::nullopt;
  korvane::Listing lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t separator = separatorAt(bytes, i);
    if (separator == 0) {
      ++i;
      continue;
    }
    if (i > start) lines.emplace_back(bytes.substr(start, i - start));
    i += separator;
    start = i;
  }
  if (start < bytes.size()) lines.emplace_back(bytes.substr(start));
  return lines;
}

std::optional<korvane::Listing> fetchSystemProcesses(const SystemProcessesOptions& options,
                                                     std::string* err) {
  try {
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    platform::Child child =
        platform::Child::spawn(options.toolPath, {"-axco", "user,pid,pcpu,comm"},
                               {.input = platform::ChildStream::kInherit,
                                .output = platform::ChildStream::kPipe,
                                .error = platform::ChildStream::kInherit},
                               err);
    if (!child.valid()) return std::nullopt;
    std::string output;
    const platform::ReadOutcome read = child.readOutput(output, deadline, options.maxOutputBytes);
    if (read != platform::ReadOutcome::kEndOfFile || !child.waitUntil(deadline)) {
      child.killAndReap();
      *err =
          options.toolPath + (read == platform::ReadOutcome::kTooLarge ? " wrote too much"
                              : read == platform::ReadOutcome::kFailed ? ": reading failed"
                                                                       : " did not finish in time");
      return std::nullopt;
    }
    std::optional<korvane::Listing> lines = splitOutputLines(output);
    if (!lines) *err = options.toolPath + " wrote text that is not UTF-8";
    return lines;
  } catch (const std::exception& e) {
    *err = options.toolPath + ": " + e.what();
    return std::nullopt;
  }
}

}  // namespace processes
