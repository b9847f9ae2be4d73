#include "control/process_signals.h"

#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/pidfd.h"

namespace control {
namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         ::strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// The value of 1 or 2 ASCII digits; nullopt for anything else.
std::optional<int> smallNumber(std::string_view digits) {
  if (digits.empty() || digits.size() > 2) return std::nullopt;
  int value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool isSignalName(std::string_view name) {
  for (const char* known : kSignalNames) {
    if (name.size() == std::strlen(known) && startsWithNoCase(name, known)) return true;
  }
  return false;
}

// The process `id` names, held by a pidfd, when the daemon may signal it.
// The daemon itself is no target: killed, it could not send the reply it
// owes; stopped, every connection would hang with it. Neither is a tool it
// runs: a stopped pfctl would hold the firewall until its deadline. Both
// are reached through thread ids too, which kill(2) takes for their process.
platform::UniqueFd openTarget(std::int32_t id) {
  const std::optional<pid_t> group = platform::threadGroupOf(id);
  if (!group) return {};
  platform::UniqueFd pidfd = platform::pidfdOpen(*group);
  // Between the two reads the id may have been freed and reused: the pidfd
  // must hold the process that `id` belongs to now.
  if (!pidfd || platform::threadGroupOf(id) != group) return {};
  const pid_t self = ::getpid();
  if (*group == self || platform::isDescendantOf(*group, self)) return {};
  // The checks read /proc by number. A process that has not been reaped
  // still holds its pid, so while the pidfd's process lives they read it,
  // not a newcomer on a freed pid.
  if (!platform::pidfdAlive(pidfd.get())) return {};
  return pidfd;
}

}  // namespace

bool PosixProcessSignaller::mayTarget(std::int32_t id) { return static_cast<bool>(openTarget(id)); }

bool PosixProcessSignaller::signalProcess(std::int32_t id, int signal) {
  const platform::UniqueFd pidfd = openTarget(id);
  return pidfd && platform::pidfdSignal(pidfd.get(), signal);
}

bool isSingleProcessId(std::int64_t pid) { return pid > 0 && pid <= INT32_MAX; }

bool isSignalArgument(std::string_view text) {
  // procps kill takes an argument as the signal only when what follows the
  // dash is a signal name or number; anything else falls through to its
  // option parser, which reads e.g. "-9x" as the process group 9 and "-1e3"
  // as every process, or to its list of pids, which reads "1" as init.
  if (text.size() < 2 || text[0] != '-') return false;
  std::string_view rest = text.substr(1);
  if (const auto n = smallNumber(rest)) return *n <= SIGRTMAX;
  if (startsWithNoCase(rest, "SIG")) rest.remove_prefix(3);
  if (startsWithNoCase(rest, "RTMIN+")) {
    const auto offset = smallNumber(rest.substr(6));
    return offset && SIGRTMIN + *offset <= SIGRTMAX;
  }
  return isSignalName(rest);
}

bool terminateProcess(std::int64_t pid, ProcessSignaller& signaller) {
  // kill(0, ...) would hit the daemon's own process group and kill(-1, ...)
  // every process on the machine.
  if (!isSingleProcessId(pid)) return false;
  return signaller.signalProcess(static_cast<std::int32_t>(pid), SIGKILL);
}

bool sendSignal(std::int64_t pid, const std::string& signal, CommandRunner& runner,
                ProcessSignaller& signaller) {
  try {
    if (!isSingleProcessId(pid) || !isSignalArgument(signal) ||
        !signaller.mayTarget(static_cast<std::int32_t>(pid))) {
      return false;
    }
    // The tool takes the pid as text, so a window stays open between this
    // check and its kill(2), as short as the tool's start; terminate, which
    // signals through the pidfd that was checked, has none.
    return runner.runCommand(kKillToolPath, {signal, std::to_string(pid)}).succeeded();
  } catch (...) {
    return false;
  }
}

std::optional<SignalTarget> ProcfsSignalTargets::find(std::int64_t pid) {
  const std::optional<pid_t> group =
      isSingleProcessId(pid) ? platform::threadGroupOf(static_cast<pid_t>(pid)) : std::nullopt;
  if (!group) return std::nullopt;
  return SignalTarget{*group, platform::processOwner(*group), platform::pidfdOpen(*group)};
}

bool ProcfsSignalTargets::unchanged(std::int64_t pid, const SignalTarget& target) {
  return target.held && platform::pidfdAlive(target.held.get()) &&
         platform::threadGroupOf(static_cast<pid_t>(pid)) == target.group;
}

}  // namespace control
