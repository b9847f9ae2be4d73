#include "codesign/file_io.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/atomic_file.h"
#include "platform/error_text.h"
#include "platform/unique_fd.h"

namespace codesign {

namespace {

using platform::UniqueFd;

std::string errnoText(const char* call, const std::string& path) {
  return std::string(call) + " " + path + ": " + platform::errorText(errno);
}

}  // namespace

bool preadAll(int fd, void* buffer, std::size_t size, std::uint64_t offset) {
  auto* out = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t n = ::pread(fd, out, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool readWholeFile(const std::string& path, std::vector<std::uint8_t>* content,
                   std::string* error) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    *error = errnoText("open", path);
    return false;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    *error = errnoText("fstat", path);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = path + ": not a regular file";
    return false;
  }
  content->resize(static_cast<std::size_t>(st.st_size));
  if (!preadAll(fd.get(), content->data(), content->size(), 0)) {
    *error = errnoText("read", path);
    return false;
  }
  return true;
}

bool replaceFileAtomically(const std::string& path, const std::vector<std::uint8_t>& content,
                           std::string* error) {
  platform::AtomicWriteOptions options;
  options.mustExist = true;
  auto failure = platform::replaceFileAtomically(
      path, std::string_view(reinterpret_cast<const char*>(content.data()), content.size()),
      options);
  if (failure) *error = *failure;
  return !failure;
}

}  // namespace codesign
