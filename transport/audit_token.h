// The identity of the process at the other end of a connection: the Linux
// counterpart of the kernel's audit token.
#pragma once

#include <sys/types.h>

#include <vector>

namespace transport {

struct AuditToken {
  pid_t pid = -1;  // as the kernel reported it at connect()
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  // A pidfd naming that very process (not a later process that reused the
  // pid), owned by the connection; valid for as long as the connection lives.
  int pidfd = -1;
  // The peer's supplementary groups at connect() (SO_PEERGROUPS).
  std::vector<gid_t> groups = {};
  // The connection's socket, owned by the connection: it reports the peer's
  // hang-up while a request waits (for a person's authentication, say).
  int socket = -1;
};

}  // namespace transport
