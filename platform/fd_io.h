// Whole reads and writes on descriptors, retrying EINTR and short transfers.
// Safe to call from any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace platform {

// Writes all of `bytes`; false on an error.
bool writeAll(int fd, std::string_view bytes);

// Sends all of `bytes` on a socket without raising SIGPIPE; false on an
// error, a closed peer included.
bool sendAll(int fd, std::string_view bytes);

// Reads exactly `size` bytes; false on an error or when the stream ends first.
bool readExactly(int fd, char* out, std::size_t size);

}  // namespace platform
