#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <mutex>
#include <string_view>

#include "platform/atomic_file.h"
#include "platform/error_text.h"
#include "platform/fd_io.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

// The folder that holds `path`: "." for a bare name, "/" for a file at the root.
std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
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

// mkstemp's six characters: ASCII letters and digits.
bool isTemporaryName(std::string_view name, std::string_view prefix) {
  constexpr std::size_t kRandom = 6;
  if (name.size() != prefix.size() + kRandom || !name.starts_with(prefix)) return false;
  for (const char c : name.substr(prefix.size())) {
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// A writer that died between making its temporary file and renaming it left
// the file behind, a whole copy of the content each time. Such leftovers of
// the same target are removed: entries named exactly like the temporary
// files made here, that are regular files of our own user, looked at
// without following links in the folder opened without following one.
void removeLeftovers(const std::string& folder, std::string_view prefix) {
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir) return;
  UniqueFd listing(::fcntl(dir.get(), F_DUPFD_CLOEXEC, 0));
  DIR* stream = listing ? ::fdopendir(listing.get()) : nullptr;
  if (stream == nullptr) return;
  listing.release();  // the stream owns it now
  const uid_t self = ::geteuid();
  while (const dirent* entry = ::readdir(stream)) {
    struct stat st;
    if (isTemporaryName(entry->d_name, prefix) &&
        ::fstatat(dir.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
        st.st_uid == self) {
      ::unlinkat(dir.get(), entry->d_name, 0);
    }
  }
  ::closedir(stream);
}

// Writers in this process take turns, so that one never takes another's
// temporary file, at work, for a leftover.
std::mutex& writersLock() {
  static std::mutex lock;
  return lock;
}

int fsyncRetrying(int fd) {
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

}  // namespace

bool replaceFileAtomically(const std::string& path, std::string_view bytes,
                           const AtomicWriteOptions& options, std::string* err) {
  // Every failure names the file being written and the call that failed.
  const auto fail = [&](std::string_view call) {
    *err = fileFailure("write", path, call, errno);
    return false;
  };
  struct stat existing {};
  bool existed;
  if (options.mustExist) {
    // Renaming over a link would replace the link, not the file it names.
    if (::lstat(path.c_str(), &existing) != 0) return fail("lstat");
    if (!S_ISREG(existing.st_mode)) {
      *err = "Could not write \"" + path + "\": it is not a regular file.";
      return false;
    }
    existed = true;
  } else {
    existed = ::stat(path.c_str(), &existing) == 0;
  }
  const mode_t mode = existed ? (existing.st_mode & 07777) : options.newFileMode;

  const std::string folder = folderOf(path);
  std::string prefix = ".";
  prefix.append(path, path.rfind('/') + 1).push_back('.');
  std::lock_guard hold(writersLock());
  removeLeftovers(folder, prefix);
  std::string pattern = folder + "/" + prefix + "XXXXXX";
  UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!fd) return fail("mkstemp");
  TempFile temp(pattern);

  if (!writeAll(fd.get(), bytes)) return fail("write");
  // Keep the owner where we may; a chown clears set-id bits, so the mode
  // (mkstemp made it 0600) comes after it.
  if (existed && (existing.st_uid != ::geteuid() || existing.st_gid != ::getegid()) &&
      ::fchown(fd.get(), existing.st_uid, existing.st_gid) != 0 && errno != EPERM) {
    return fail("fchown");
  }
  if (::fchmod(fd.get(), mode) != 0) return fail("fchmod");
  if (fsyncRetrying(fd.get()) != 0) return fail("fsync");
  // close() can report a deferred write error; EINTR still closes on Linux.
  if (fd.close() != 0 && errno != EINTR) return fail("close");
  if (::rename(temp.path().c_str(), path.c_str()) != 0) return fail("rename");
  temp.keep();

  // The rename is durable only once the folder's entry is on disk. From here
  // on the new content is what the file holds, so a failure to sync the
  // folder cannot be a failed write: reporting one would tell the caller the
  // old content stands when it does not.
  UniqueFd folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folderFd) fsyncRetrying(folderFd.get());
  return true;
}

}  // namespace platform
