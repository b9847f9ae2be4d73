// The machine's process table as "/bin/ps" prints it, one string per line.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/replies.h"

namespace processes {

inline constexpr char kPsToolPath[] = "/bin/ps";

struct SystemProcessesOptions {
  std::string toolPath = kPsToolPath;
  // From the start of the tool to its exit, reading included.
  std::chrono::milliseconds timeout = std::chrono::seconds(30);
  // More output than this is treated as a failed run.
  std::size_t maxOutputBytes = std::size_t{64} << 20;
};

// Runs the tool with the arguments "-axco" and "user,pid,pcpu,comm", its
// standard output on a pipe and its standard input and error inherited,
// reads the output to its end, waits for the tool, and returns
// splitOutputLines of the output. The exit status is not looked at. Returns
// nullopt, with `*err` saying why, when the tool cannot be started, when its
// output is not UTF-8 or is larger than `maxOutputBytes`, and when it has
// not finished within `timeout`; it is then killed and reaped. Blocks the
// calling thread; calls on several threads run independently.
std::optional<korvane::Listing> fetchSystemProcesses(const SystemProcessesOptions& options,
                                                     std::string* err);

// The ps listing as the request handler sees it: the seam in front of the tool.
class SystemProcessLister {
 public:
  virtual ~SystemProcessLister() = default;
  // The contract of fetchSystemProcesses. Safe from any thread.
  virtual std::optional<korvane::Listing> list(std::string* err) = 0;
};

// fetchSystemProcesses with the options given at construction.
class PsLister final : public SystemProcessLister {
 public:
  explicit PsLister(SystemProcessesOptions options = {}) : options_(std::move(options)) {}
  std::optional<korvane::Listing> list(std::string* err) override {
    return fetchSystemProcesses(options_, err);
  }

 private:
  const SystemProcessesOptions options_;
};

// `bytes` cut into lines at each of U+000A, U+000B, U+000C, U+000D, U+0085,
// U+2028 and U+2029, with empty lines left out and everything else kept as is
// (spaces included). nullopt when `bytes` is not well-formed UTF-8. Pure.
std::optional<korvane::Listing> splitOutputLines(std::string_view bytes);

}  // namespace processes
