// Addresses of Unix stream sockets.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <string>

namespace platform {

// Fills `addr` with the filesystem address `path`. False when the path does
// not fit sun_path (with its NUL); `addr` is then left zeroed.
inline bool unixSocketAddress(const std::string& path, sockaddr_un* addr) {
  *addr = {};
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace platform
