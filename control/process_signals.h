// Killing a process and sending it a named signal, with the daemon's rights.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "control/command_runner.h"
#include "platform/pidfd.h"
#include "platform/unique_fd.h"

namespace control {

inline constexpr char kKillToolPath[] = "/bin/kill";

// Whom the daemon may signal, and the signalling itself: the seam in front
// of kill(2).
class ProcessSignaller {
 public:
  virtual ~ProcessSignaller() = default;
  // True when `id` names a process the daemon may signal: a process, or a
  // thread of one, other than the daemon itself and the processes it started.
  virtual bool mayTarget(std::int32_t id) = 0;
  // Sends `signal` to the process that `id` names, when mayTarget holds for
  // it. True when the signal was sent.
  virtual bool signalProcess(std::int32_t id, int signal) = 0;
};

// kill(2) through a pidfd of the process that was checked, so that the
// process signalled is the one the checks were made on, even when its pid is
// freed and reused meanwhile. Stateless; safe from any thread.
class PosixProcessSignaller final : public ProcessSignaller {
 public:
  bool mayTarget(std::int32_t id) override;
  bool signalProcess(std::int32_t id, int signal) override;
};

// A process a signal request names, read before anyone is asked whether it
// may be signalled, and held by a pidfd from then on: the check may wait
// minutes for a person, time enough for the pid to be freed and taken by
// another process, which must not be what is signalled.
struct SignalTarget {
  pid_t group = -1;                             // the process the id belongs to
  std::optional<platform::ProcessOwner> owner;  // nullopt when it cannot be read
  platform::UniqueFd held;                      // not valid when it cannot be opened
};

// What a signal request names: the seam in front of /proc and pidfds, for
// the request handler. Safe from any thread.
class SignalTargets {
 public:
  virtual ~SignalTargets() = default;
  // The process `pid` names; nullopt when `pid` does not name one single
  // process (isSingleProcessId) or no thread has that id.
  virtual std::optional<SignalTarget> find(std::int64_t pid) = 0;
  // True while `target`, found for `pid`, lives and `pid` still names it.
  virtual bool unchanged(std::int64_t pid, const SignalTarget& target) = 0;
};

// The machine's processes, read from the daemon's /proc.
class ProcfsSignalTargets final : public SignalTargets {
 public:
  std::optional<SignalTarget> find(std::int64_t pid) override;
  bool unchanged(std::int64_t pid, const SignalTarget& target) override;
};

// True when `pid` can name one single process: 1 to 2147483647. Zero and the
// negative values name process groups or every process, and larger values
// cannot be a process identifier at all.
bool isSingleProcessId(std::int64_t pid);

// The names /bin/kill (procps) maps to a signal, checked against the tool.
// RTMAX is left out: the tool reads "-RTMAX" as a run of options.
inline constexpr std::array<const char*, 35> kSignalNames = {
    "HUP",    "INT",  "QUIT",  "ILL",  "TRAP", "ABRT", "IOT",  "BUS",    "FPE",
    "KILL",   "USR1", "SEGV",  "USR2", "PIPE", "ALRM", "TERM", "STKFLT", "CHLD",
    "CLD",    "CONT", "STOP",  "TSTP", "TTIN", "TTOU", "URG",  "XCPU",   "XFSZ",
    "VTALRM", "PROF", "WINCH", "IO",   "POLL", "PWR",  "SYS",  "RTMIN"};

// True when "/bin/kill" takes `text` as the signal to send, never as an
// option, a process or the end of its options. Accepted, with ASCII letters
// in any case:
//   "-" DIGITS            1 or 2 decimal digits, a value from 0 to SIGRTMAX
//   "-" ["SIG"] NAME      NAME one of HUP INT QUIT ILL TRAP ABRT IOT BUS FPE
//                         KILL USR1 SEGV USR2 PIPE ALRM TERM STKFLT CHLD CLD
//                         CONT STOP TSTP TTIN TTOU URG XCPU XFSZ VTALRM PROF
//                         WINCH IO POLL PWR SYS
//   "-" ["SIG"] "RTMIN" ["+" DIGITS]   at most SIGRTMAX in all
// Nothing else: no sign or space after the dash, no trailing characters.
bool isSignalArgument(std::string_view text);

// Sends SIGKILL to the process `pid` names. Returns true when the signal was
// sent; false, with nothing sent, when `pid` does not name a single process
// (isSingleProcessId) or names one `signaller` may not target. Does not wait
// for the process to end.
bool terminateProcess(std::int64_t pid, ProcessSignaller& signaller);

// Runs "/bin/kill" through `runner` with exactly two arguments, `signal` as
// received and `pid` in decimal. Returns true when the tool exits with status
// 0. Returns false without running the tool when `pid` does not name a single
// process, names one `signaller` may not target, or `signal` is not a signal
// argument (isSignalArgument). Blocks until the tool has exited.
bool sendSignal(std::int64_t pid, const std::string& signal, CommandRunner& runner,
                ProcessSignaller& signaller);

}  // namespace control
