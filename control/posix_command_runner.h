// The command runner of the daemon: starts tools with posix_spawn.
#pragma once

#include "control/command_runner.h"

namespace control {

// runCommand as CommandRunner states it. The tool's standard input, output
// and error are all /dev/null: its output plays no part in the result, and a
// stream that nobody reads could otherwise fill up and stop the tool forever.
// No time limit: the call returns when the tool exits. Stateless; one
// instance may serve every thread.
class PosixCommandRunner final : public CommandRunner {
 public:
  std::int32_t runCommand(const std::string& launchPath,
                          const std::vector<std::string>& arguments) override;
};

}  // namespace control
