#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fd_io.h"

namespace platform {
namespace {

template <typename Transfer>
bool transferAll(std::string_view bytes, Transfer transfer) {
  while (!bytes.empty()) {
    const ssize_t n = transfer(bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

bool writeAll(int fd, std::string_view bytes) {
  return transferAll(bytes, [fd](const char* p, std::size_t n) { return ::write(fd, p, n); });
}

bool sendAll(int fd, std::string_view bytes) {
  return transferAll(bytes,
                     [fd](const char* p, std::size_t n) { return ::send(fd, p, n, MSG_NOSIGNAL); });
}

bool readExactly(int fd, char* out, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::read(fd, out, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace platform
