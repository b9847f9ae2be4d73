#include "control/process_signals.h"

#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstring>
#include <optional>
#include <vector>

namespace control {
namespace {

// The names /bin/kill (procps) maps to a signal, checked against the tool.
// RTMAX is left out: the tool reads "-RTMAX" as a run of options.
constexpr std::array<const char*, 35> kSignalNames = {
    "HUP",    "INT",  "QUIT",  "ILL",  "TRAP", "ABRT", "IOT",  "BUS",    "FPE",
    "KILL",   "USR1", "SEGV",  "USR2", "PIPE", "ALRM", "TERM", "STKFLT", "CHLD",
    "CLD",    "CONT", "STOP",  "TSTP", "TTIN", "TTOU", "URG",  "XCPU",   "XFSZ",
    "VTALRM", "PROF", "WINCH", "IO",   "POLL", "PWR",  "SYS",  "RTMIN"};

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

}  // namespace

bool PosixProcessSignaller::signalProcess(std::int32_t pid, int signal) {
  return ::kill(static_cast<pid_t>(pid), signal) == 0;
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

// The daemon itself is no target either: killed, it could not send the reply
// it owes; stopped, every connection would hang with it.
static bool isSelf(std::int64_t pid) { return pid == ::getpid(); }

bool terminateProcess(std::int64_t pid, ProcessSignaller& signaller) {
  // kill(0, ...) would hit the daemon's own process group and kill(-1, ...)
  // every process on the machine.
  if (!isSingleProcessId(pid) || isSelf(pid)) return false;
  return signaller.signalProcess(static_cast<std::int32_t>(pid), SIGKILL);
}

bool sendSignal(std::int64_t pid, const std::string& signal, CommandRunner& runner) {
  try {
    if (!isSingleProcessId(pid) || isSelf(pid) || !isSignalArgument(signal)) return false;
    return runner.runCommand(kKillToolPath, {signal, std::to_string(pid)}) == 0;
  } catch (...) {
    return false;
  }
}

}  // namespace control
