#include "platform/codesign/file_io.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform::security {
namespace {

std::string errnoText(const char* call, const std::string& path) {
  return std::string(call) + " " + path + ": " + strerror(errno);
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Owns a temporary file's name: unlinks it unless committed.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (!committed_) ::unlink(path_.c_str());
  }
  void commit() { committed_ = true; }

 private:
  std::string path_;
  bool committed_ = false;
};

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

bool writeAll(int fd, const void* buffer, std::size_t size) {
  const auto* in = static_cast<const char*>(buffer);
  while (size > 0) {
    const ssize_t n = ::write(fd, in, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    in += n;
    size -= static_cast<std::size_t>(n);
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
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    *error = errnoText("lstat", path);
    return false;
  }
  // Renaming over a symbolic link would replace the link, not its target.
  if (!S_ISREG(st.st_mode)) {
    *error = path + ": not a regular file";
    return false;
  }
  const std::string folder = folderOf(path);
  std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
  std::string tempPath = folder + "/." + name + ".XXXXXX";
  UniqueFd fd(::mkostemp(tempPath.data(), O_CLOEXEC));
  if (!fd) {
    *error = errnoText("mkostemp", tempPath);
    return false;
  }
  TempFile temp(tempPath);
  if (!writeAll(fd.get(), content.data(), content.size())) {
    *error = errnoText("write", tempPath);
    return false;
  }
  // Keep the owner where we may (root re-signing another user's file); a
  // chown clears set-id bits, so the mode comes after it.
  if ((st.st_uid != ::geteuid() || st.st_gid != ::getegid()) &&
      ::fchown(fd.get(), st.st_uid, st.st_gid) != 0 && errno != EPERM) {
    *error = errnoText("fchown", tempPath);
    return false;
  }
  if (::fchmod(fd.get(), st.st_mode & 07777) != 0) {
    *error = errnoText("fchmod", tempPath);
    return false;
  }
  if (::fsync(fd.get()) != 0) {
    *error = errnoText("fsync", tempPath);
    return false;
  }
  if (::rename(tempPath.c_str(), path.c_str()) != 0) {
    *error = errnoText("rename", path);
    return false;
  }
  temp.commit();
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir || ::fsync(dir.get()) != 0) {
    *error = errnoText("fsync", folder);
    return false;
  }
  return true;
}

}  // namespace platform::security
