// The command runner of the daemon: starts tools with posix_spawn.
#pragma once

#include <chrono>

#include "control/command_runner.h"

namespace control {

// runCommand as CommandRunner states it. The tool's standard input, output
// and error are all /dev/null: its output plays no part in the result, and a
// stream that nobody reads could otherwise fill up and stop the tool forever.
// Each tool leads a process group of its own; at `deadline` after its start
// that whole group is killed (SIGKILL, which also ends a stopped tool) and
// the tool reaped. Stateless; one instance may serve every thread.
class PosixCommandRunner final : public CommandRunner {
 public:
  explicit PosixCommandRunner(std::chrono::milliseconds deadline = kToolDeadline)
      : deadline_(deadline) {}

  ToolStatus runCommand(const std::string& launchPath,
                        const std::vector<std::string>& arguments) override;

 private:
  const std::chrono::milliseconds deadline_;
};

}  // namespace control
