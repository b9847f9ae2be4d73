// Process descriptors: a handle on one process that a later process reusing
// its pid can never be mistaken for, and the family facts that decide whom
// the daemon may signal.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "platform/unique_fd.h"

namespace platform {

// A pidfd for `pid` (close-on-exec), or an invalid UniqueFd with errno set.
// The pid may have been reused by the time this returns; a caller that got
// the pid from elsewhere must re-check that the process it meant is the one
// the pidfd names.
UniqueFd pidfdOpen(pid_t pid);

// True while the process `pidfd` names has not been reaped (a zombie still
// counts: its pid is not free yet). Safe on any thread.
bool pidfdAlive(int pidfd);

// Sends `signal` to the process `pidfd` names. True when it was sent.
bool pidfdSignal(int pidfd, int signal);

// The process (thread group) that `id` belongs to: `id` itself for a
// process, its process for the id of any other thread. kill(2) of a thread
// id signals that whole process, and thread ids, though absent from /proc's
// listing, resolve under /proc/ID. nullopt when no thread has that id in the
// daemon's /proc.
std::optional<pid_t> threadGroupOf(pid_t id);

// True when `ancestor` is `pid`'s parent, grandparent, and so on, read from
// /proc (PPid) one generation at a time. A process that dies on the way
// ends the walk (false); so does a chain longer than any real one (4096
// generations: true, so that a contrived chain counts as related).
bool isDescendantOf(pid_t pid, pid_t ancestor);

// Who owns a process, and its name: what deciding on a signal to it needs.
struct ProcessOwner {
  uid_t real = 0;
  uid_t saved = 0;
  std::string name;  // as /proc/PID/status shows it (the kernel escapes it)
};

// The owner of `pid` from /proc/PID/status; nullopt when it cannot be read.
std::optional<ProcessOwner> processOwner(pid_t pid);

}  // namespace platform
