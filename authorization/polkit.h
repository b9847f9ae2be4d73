// Asking polkit whether a caller may perform an action: CheckAuthorization
// on the system bus, with user interaction allowed, for the caller's
// process as the kernel identified it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace authorization {

// How long one check may wait for polkit, a person's authentication included.
inline constexpr std::chrono::minutes kCheckTimeout{5};

enum class Decision { kAllowed, kDenied };

struct CheckResult {
  Decision decision = Decision::kDenied;
  // Why, for the log: "authorized by polkit", "not authorized by polkit",
  // "not authorized by polkit (no authentication)", "polkit:
  // org.freedesktop.DBus.Error.ServiceUnknown: ...", "sd_bus_open_system:
  // No such file or directory", "the client hung up", "the caller's process
  // is gone".
  std::string reason;
};

// The caller as the kernel reported it at connect, never as a request says:
// a pidfd of its process and its SO_PEERCRED uid. The pidfd stays owned by
// the caller of check().
struct Subject {
  int pidfd = -1;
  uid_t uid = static_cast<uid_t>(-1);
};

// Details shown in the authentication dialog, named in the action's message
// as $(key) (polkit accepts them from a root caller only).
using Details = std::vector<std::pair<std::string, std::string>>;

// One connection to the system bus (the default address,
// /run/dbus/system_bus_socket, or DBUS_SYSTEM_BUS_ADDRESS), opened at the
// first check and opened again after the bus went away. Not thread-safe (nor
// is sd-bus): give each client connection its own checker and call it from
// that connection's thread only.
class PolkitChecker {
 public:
  PolkitChecker();
  ~PolkitChecker();
  PolkitChecker(const PolkitChecker&) = delete;
  PolkitChecker& operator=(const PolkitChecker&) = delete;

  // Asks polkit whether `subject` may perform `action` (an action id of
  // actions.h), allowing polkit to ask a person through an authentication
  // agent, and blocks until it answers: possibly minutes, at most
  // kCheckTimeout. The subject is "unix-process" with the pid of the pidfd's
  // process, that process's start time (confirmed by the pidfd still naming a
  // live process after it was read) and `subject.uid`.
  //
  // `cancelFd` (the client's socket; -1 for none) is watched meanwhile: when
  // it reports a hang-up (POLLHUP, POLLRDHUP, POLLERR) the check is
  // cancelled in polkit (CancelCheckAuthorization) and denied at once. Bytes
  // arriving on it are left unread.
  //
  // kAllowed only when polkit answered that the subject is authorized; every
  // other outcome (not authorized, a D-Bus error, no bus, no polkitd, the
  // timeout, a dead or unreadable subject, the hang-up) is kDenied. Never
  // throws.
  CheckResult check(const Subject& subject, std::string_view action, const Details& details,
                    int cancelFd);

 private:
  struct Bus;
  std::unique_ptr<Bus> bus_;
};

// The pid of the process `pidfd` names, in the pid namespace of /proc (the
// "Pid:" line of /proc/self/fdinfo/FD); -1 when it cannot be read or the
// process has ended.
pid_t pidOfPidfd(int pidfd);

// The start time of process `pid` in clock ticks since boot (field 22 of
// /proc/PID/stat), or 0 when it cannot be read. The caller confirms that the
// pid still names the process it meant after this returns.
unsigned long long processStartTime(pid_t pid);

}  // namespace authorization
