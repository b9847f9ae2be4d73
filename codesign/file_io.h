// Small EINTR-safe file helpers for the code-signing services.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace codesign {

// Reads exactly `size` bytes at `offset`, retrying EINTR and short reads.
// False on an error or when the file ends first.
bool preadAll(int fd, void* buffer, std::size_t size, std::uint64_t offset);

// The whole content of the file at `path`; false with `error` naming the
// call and the path.
bool readWholeFile(const std::string& path, std::vector<std::uint8_t>* content, std::string* error);

// Replaces the regular file at `path` by `content` in one step: a temporary
// file in the same folder, written, given the old file's mode bits (and its
// owner, where the caller may set it), fsync'd, renamed over `path`, then the
// folder fsync'd. The temporary file is removed on any failure. False with
// `error` on failure; `path` keeps its old content unless only the final
// fsync of the folder failed.
bool replaceFileAtomically(const std::string& path, const std::vector<std::uint8_t>& content,
                           std::string* error);

}  // namespace codesign
