#include <sys/syscall.h>
#include <unistd.h>

#include "platform/pidfd.h"

namespace platform {

// glibc 2.36 declares pidfd_open without C linkage and has no wrapper for
// pidfd_send_signal, so both are made as system calls. pidfds are always
// close-on-exec.
UniqueFd pidfdOpen(pid_t pid) {
  return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

bool pidfdAlive(int pidfd) { return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0; }

}  // namespace platform
