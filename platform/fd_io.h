// Whole reads and writes on descriptors and files, retrying EINTR and short
// transfers. Safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// Writes all of `bytes`; false on an error.
bool writeAll(int fd, std::string_view bytes);

// Sends all of `bytes` on a socket without raising SIGPIPE; false on an
// error, a closed peer included.
bool sendAll(int fd, std::string_view bytes);

// Reads exactly `size` bytes; false on an error or when the stream ends first.
bool readExactly(int fd, char* out, std::size_t size);

// Reads exactly `size` bytes at `offset` (the file position stays); false on
// an error or when the file ends first.
bool preadExactly(int fd, char* out, std::size_t size, std::uint64_t offset);

// Reads the file at `path` to its end into `*content`. On failure returns
// false with `*err` = fileFailure("read", path, CALL, errno), e.g.
// `Could not read "/etc/pf.conf" (open): No such file or directory.`
// (a folder fails in the read call: "Is a directory").
bool readWholeFile(const std::string& path, std::string* content, std::string* err);

}  // namespace platform
