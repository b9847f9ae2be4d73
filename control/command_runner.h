// Runs external tools and reports how they ended.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace control {

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;

  // Runs the executable at `launchPath` (used exactly as given; no search path)
  // with `arguments` (not including the tool's own name), inheriting the
  // daemon's environment and working directory and none of its descriptors.
  // Blocks until the tool has exited. Returns the tool's termination status
  // (its exit status, or the number of the signal that ended it), or
  // -1 when the tool cannot be started. Safe to call from any thread.
  virtual std::int32_t runCommand(const std::string& launchPath,
                                  const std::vector<std::string>& arguments) = 0;
};

}  // namespace control
