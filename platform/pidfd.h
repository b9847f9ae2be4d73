// Process descriptors: a handle on one process that a later process reusing
// its pid can never be mistaken for.
#pragma once

#include <sys/types.h>

#include "platform/unique_fd.h"

namespace platform {

// A pidfd for `pid` (close-on-exec), or an invalid UniqueFd with errno set.
// The pid may have been reused by the time this returns; a caller that got
// the pid from elsewhere must re-check that the process it meant is the one
// the pidfd names.
UniqueFd pidfdOpen(pid_t pid);

// True while the process `pidfd` names has not exited (a zombie counts as
// exited). Safe on any thread.
bool pidfdAlive(int pidfd);

}  // namespace platform
