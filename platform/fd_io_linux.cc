#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error_text.h"
#include "platform/fd_io.h"
#include "platform/unique_fd.h"

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

// Fills `size` bytes at `out` from `read(out, size, done)`; the stream
// ending first is a failure.
template <typename Read>
bool fillExactly(char* out, std::size_t size, Read read) {
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = read(out + done, size - done, done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
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
  return fillExactly(out, size,
                     [fd](char* p, std::size_t n, std::size_t) { return ::read(fd, p, n); });
}

bool preadExactly(int fd, char* out, std::size_t size, std::uint64_t offset) {
  return fillExactly(out, size, [fd, offset](char* p, std::size_t n, std::size_t done) {
    return ::pread(fd, p, n, static_cast<off_t>(offset + done));
  });
}

bool readWholeFile(const std::string& path, std::string* content, std::string* err) {
  UniqueFd fd;
  do {
    fd.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  } while (!fd && errno == EINTR);
  if (!fd) {
    *err = fileFailure("read", path, "open", errno);
    return false;
  }
  std::string bytes;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *err = fileFailure("read", path, "read", errno);
      return false;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  *content = std::move(bytes);
  return true;
}

}  // namespace platform
