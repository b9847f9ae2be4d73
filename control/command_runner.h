// Runs external tools and reports how they ended.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace control {

// The longest a tool run may take. A tool still running then is killed with
// everything it started: a hung or stopped tool must not hold its request,
// or the firewall lock, for ever.
inline constexpr std::chrono::seconds kToolDeadline{20};

// How one tool run ended.
struct ToolStatus {
  enum class End { kExited, kSignalled, kNotStarted, kTimedOut };
  End end = End::kNotStarted;
  // The exit status (kExited) or the number of the signal that ended the
  // tool (kSignalled); -1 otherwise.
  int code = -1;

  static ToolStatus exited(int status) { return {End::kExited, status}; }

  bool succeeded() const { return end == End::kExited && code == 0; }
  // The home platform's termination status: the exit status, the signal's
  // number, or -1 for a tool that could not be started (or was stopped at
  // its deadline).
  std::int32_t terminationStatus() const { return code; }
  bool operator==(const ToolStatus&) const = default;
};

class CommandRunner {
 public:
  virtual ~CommandRunner() = default;

  // Runs the executable at `launchPath` (used exactly as given; no search path)
  // with `arguments` (not including the tool's own name), inheriting the
  // daemon's environment and working directory and none of its descriptors.
  // Blocks until the tool has exited or, at the runner's deadline, has been
  // killed together with everything it started (kTimedOut). Safe to call from
  // any thread.
  virtual ToolStatus runCommand(const std::string& launchPath,
                                const std::vector<std::string>& arguments) = 0;
};

}  // namespace control
