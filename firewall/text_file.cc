#include "firewall/text_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "common/utf8.h"
#include "platform/unique_fd.h"

namespace firewall {
namespace {

std::string errnoText(int error) {
  char buffer[256];
  // GNU strerror_r: may return a static string instead of filling `buffer`.
  return strerror_r(error, buffer, sizeof buffer);
}

std::string failure(std::string_view verb, const std::string& path, std::string_view call,
                    int error) {
  return "Could not " + std::string(verb) + " \"" + path + "\" (" + std::string(call) +
         "): " + errnoText(error) + ".";
}

// The folder that holds `path`: "." for a bare name, "/" for a file at the root.
std::string folderOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Unlinks the temporary file unless it was renamed into place.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (!kept_) ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  void keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

int fsyncRetrying(int fd) {
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

}  // namespace

TextRead readUtf8File(const std::string& path) {
  int raw;
  do {
    raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) return {std::nullopt, failure("read", path, "open", errno)};
  platform::UniqueFd fd(raw);

  std::string bytes;
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return {std::nullopt, failure("read", path, "read", errno)};
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  if (!common::isValidUtf8(bytes)) {
    return {std::nullopt, "Could not read \"" + path + "\": the file is not valid UTF-8 text."};
  }
  return {std::move(bytes), ""};
}

std::optional<std::string> writeUtf8FileAtomically(const std::string& path, std::string_view text) {
  if (!common::isValidUtf8(text)) {
    return "Could not write \"" + path + "\": the text is not valid UTF-8.";
  }
  const std::string folder = folderOf(path);

  struct stat existing;
  const bool existed = ::stat(path.c_str(), &existing) == 0;
  const mode_t mode = existed ? (existing.st_mode & 07777) : 0644;

  // A unique name per writer: a fixed name would let two writers clobber each
  // other's half-written file.
  std::string name = path.substr(path.rfind('/') + 1);
  std::vector<char> pattern;
  std::string patternText = folder + "/." + name + ".XXXXXX";
  pattern.assign(patternText.begin(), patternText.end());
  pattern.push_back('\0');
  int raw = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (raw < 0) return failure("write", path, "mkstemp", errno);
  platform::UniqueFd fd(raw);
  TempFile temp(pattern.data());

  if (!writeAll(fd.get(), text)) return failure("write", path, "write", errno);
  // mkstemp creates 0600; the replacement must read like the file it replaces.
  if (::fchmod(fd.get(), mode) != 0) return failure("write", path, "fchmod", errno);
  if (existed && (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) &&
      ::fchown(fd.get(), existing.st_uid, existing.st_gid) != 0) {
    return failure("write", path, "fchown", errno);
  }
  if (fsyncRetrying(fd.get()) != 0) return failure("write", path, "fsync", errno);
  // close() can report a deferred write error; EINTR still closes on Linux.
  if (::close(fd.release()) != 0 && errno != EINTR) {
    return failure("write", path, "close", errno);
  }
  if (::rename(temp.path().c_str(), path.c_str()) != 0) {
    return failure("write", path, "rename", errno);
  }
  temp.keep();

  // The rename is durable only once the folder's entry is on disk.
  int folderRaw = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderRaw < 0) return failure("write", path, "open of the folder", errno);
  platform::UniqueFd folderFd(folderRaw);
  if (fsyncRetrying(folderFd.get()) != 0) {
    return failure("write", path, "fsync of the folder", errno);
  }
  return std::nullopt;
}

}  // namespace firewall
