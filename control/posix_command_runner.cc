#include "control/posix_command_runner.h"

#include <unistd.h>

#include "platform/fd_io.h"
#include "platform/subprocess.h"

namespace control {

ToolStatus PosixCommandRunner::runCommand(const std::string& launchPath,
                                          const std::vector<std::string>& arguments) {
  try {
    // Standard input too: a tool run from a daemon started in a terminal must
    // not read (or stop on) that terminal.
    std::string err;
    platform::Child child = platform::Child::spawn(launchPath, arguments, {}, &err);
    if (!child.valid()) {
      // The reply only says the tool did not start (-1); the reason goes to the log.
      platform::writeAll(STDERR_FILENO, "com.korvane.helper: " + err + "\n");
      return {};
    }
    const auto status = child.waitUntil(std::chrono::steady_clock::now() + deadline_);
    if (status) {
      return {status->signalled ? ToolStatus::End::kSignalled : ToolStatus::End::kExited,
              status->code};
    }
    if (!child.valid()) return {};  // reaped by someone else: how it ended is unknown
    child.killAndReap();
    return {ToolStatus::End::kTimedOut, -1};
  } catch (...) {
    return {};
  }
}

}  // namespace control
