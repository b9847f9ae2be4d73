// Killing a process and sending it a named signal, with the daemon's rights.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "control/command_runner.h"

namespace control {

inline constexpr char kKillToolPath[] = "/bin/kill";

// Sends signals by number: the seam in front of kill(2).
class ProcessSignaller {
 public:
  virtual ~ProcessSignaller() = default;
  // Sends `signal` to the one process `pid`. True when the signal was sent.
  virtual bool signalProcess(std::int32_t pid, int signal) = 0;
};

// kill(2). Stateless; safe from any thread.
class PosixProcessSignaller final : public ProcessSignaller {
 public:
  bool signalProcess(std::int32_t pid, int signal) override;
};

// True when `pid` can name one single process: 1 to 2147483647. Zero and the
// negative values name process groups or every process, and larger values
// cannot be a process identifier at all.
bool isSingleProcessId(std::int64_t pid);

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

// Sends SIGKILL to `pid`. Returns true when the signal was sent; false, with
// nothing sent, when `pid` does not name a single process
// (isSingleProcessId) or names the calling process itself. Does not wait for
// the process to end.
bool terminateProcess(std::int64_t pid, ProcessSignaller& signaller);

// Runs "/bin/kill" through `runner` with exactly two arguments, `signal` as
// received and `pid` in decimal. Returns true when the tool exits with status
// 0. Returns false without running the tool when `pid` does not name a single
// process, names the calling process itself, or `signal` is not a signal
// argument (isSignalArgument). Blocks
// until the tool has exited.
bool sendSignal(std::int64_t pid, const std::string& signal, CommandRunner& runner);

}  // namespace control
