#include "control/posix_command_runner.h"

#include "platform/subprocess.h"

namespace control {

std::int32_t PosixCommandRunner::runCommand(const std::string& launchPath,
                                            const std::vector<std::string>& arguments) {
  try {
    // Standard input too: a tool run from a daemon started in a terminal must
    // not read (or stop on) that terminal.
    platform::Child child = platform::Child::spawn(launchPath, arguments, {});
    if (!child.valid()) return -1;
    const auto status = child.wait();
    return status ? status->code : -1;
  } catch (...) {
    return -1;
  }
}

}  // namespace control
