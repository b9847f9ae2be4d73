#include "control/app_removal.h"

#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "platform/error_text.h"
#include "platform/unique_fd.h"

namespace control {
namespace {

using platform::UniqueFd;

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string quoted(std::string_view item) {
  std::string text;
  text.reserve(item.size() + 2);
  text.append(1, '"').append(item).append(1, '"');
  return text;
}

std::string couldNotRemove(std::string_view item, std::string_view reason) {
  return "Could not remove " + quoted(item) + ": " + std::string(reason);
}

std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t i = 0;
  while (i < path.size()) {
    const std::size_t end = std::min(path.find('/', i), path.size());
    if (end > i) parts.push_back(path.substr(i, end - i));
    i = end + 1;
  }
  return parts;
}

struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const Identity&) const = default;
};

Identity identityOf(const struct stat& st) { return {st.st_dev, st.st_ino}; }

bool identityOfFd(int fd, Identity& out) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  out = identityOf(st);
  return true;
}

// True when `name` in `dir` is the root of a mount. A bind mount of a folder
// of the same file system keeps st_dev, so st_dev alone does not tell.
bool isMountRoot(int dir, const char* name) {
  struct statx stx;
  if (::statx(dir, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_INO, &stx) != 0) {
    return false;
  }
  return (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) &&
         (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirStream = std::unique_ptr<DIR, DirCloser>;

// Removes the folder `name` in `parent` with all its contents, `top` being
// what fstatat saw there and `shown` its path for messages. The walk holds
// one descriptor for the folder being emptied and climbs back through ".."
// (checked against the identity it had on the way down), so depth costs
// memory, not descriptors or stack.
class FolderRemoval {
 public:
  FolderRemoval(int parent, const std::string& name, const struct stat& top,
                const std::string& shown, std::string* err)
      : parent_(parent), name_(name), top_(top), shown_(shown), err_(err) {}

  bool run() {
    ancestors_.push_back(identityOf(top_));
    if (!openFolder(parent_, name_.c_str(), ancestors_.back(), {}, &current_)) return false;
    for (;;) {
      bool descended = false;
      if (!emptyUntilSubfolder(&descended)) return false;
      if (descended) continue;
      if (names_.empty()) break;  // the item itself is empty now
      if (!climb()) return false;
    }
    current_.reset();
    if (::unlinkat(parent_, name_.c_str(), AT_REMOVEDIR) != 0) return failErrno({});
    return true;
  }

 private:
  std::string pathOf(std::string_view leaf) const {
    std::string p = shown_;
    for (const auto& n : names_) p.append(1, '/').append(n);
    if (!leaf.empty()) p.append(1, '/').append(leaf);
    return p;
  }
  bool fail(std::string_view leaf, std::string_view reason) {
    *err_ = couldNotRemove(pathOf(leaf), reason);
    return false;
  }
  bool failErrno(std::string_view leaf) { return fail(leaf, platform::errorText(errno)); }

  // Opens the folder `name` in `dir` without following a link and checks it
  // is the one `expected` names (else fails with `swapped`). A folder gone
  // meanwhile sets *gone (when given) instead of failing.
  bool openFolder(int dir, const char* name, const Identity& expected, std::string_view leaf,
                  UniqueFd* out, bool* gone = nullptr,
                  std::string_view swapped = "it was replaced during the removal") {
    UniqueFd fd(::openat(dir, name, kDirFlags));
    Identity opened;
    if (!fd && gone && errno == ENOENT) return *gone = true;
    if (!fd || !identityOfFd(fd.get(), opened)) return failErrno(leaf);
    if (opened != expected) return fail(leaf, swapped);
    *out = std::move(fd);
    return true;
  }

  // Unlinks everything in `current_` that is not a folder, until it finds a
  // folder: then makes that `current_` and sets *descended.
  bool emptyUntilSubfolder(bool* descended) {
    UniqueFd listFd(::fcntl(current_.get(), F_DUPFD_CLOEXEC, 0));
    if (!listFd) return failErrno({});
    DirStream list(::fdopendir(listFd.get()));
    if (!list) return failErrno({});
    listFd.release();  // the stream owns it now
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(list.get());
      if (!entry) return errno == 0 || failErrno({});
      const std::string_view entryName = entry->d_name;
      if (entryName == "." || entryName == "..") continue;
      struct stat st;
      if (::fstatat(current_.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;  // removed by someone else meanwhile
        return failErrno(entryName);
      }
      if (!S_ISDIR(st.st_mode)) {
        if (::unlinkat(current_.get(), entry->d_name, 0) != 0 && errno != ENOENT) {
          return failErrno(entryName);
        }
        continue;
      }
      if (st.st_dev != top_.st_dev || isMountRoot(current_.get(), entry->d_name)) {
        return fail(entryName, "another file system is mounted there");
      }
      UniqueFd child;
      bool gone = false;
      if (!openFolder(current_.get(), entry->d_name, identityOf(st), entryName, &child, &gone)) {
        return false;
      }
      if (gone) continue;
      ancestors_.push_back(identityOf(st));
      names_.emplace_back(entryName);
      current_ = std::move(child);
      return *descended = true;
    }
  }

  // `current_` is empty: goes up to its parent and removes it there.
  bool climb() {
    UniqueFd up;
    if (!openFolder(current_.get(), "..", ancestors_[ancestors_.size() - 2], {}, &up, nullptr,
                    "it was moved during the removal")) {
      return false;
    }
    const std::string emptied = std::move(names_.back());
    names_.pop_back();
    ancestors_.pop_back();
    if (::unlinkat(up.get(), emptied.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
      return failErrno(emptied);
    }
    current_ = std::move(up);
    return true;
  }

  const int parent_;
  const std::string& name_;
  const struct stat& top_;
  const std::string& shown_;
  std::string* err_;
  std::vector<Identity> ancestors_;  // the folders from the item down to `current_`
  std::vector<std::string> names_;   // their names below the item
  UniqueFd current_;
};

bool removeItem(const std::string& path, std::string* err) {
  const auto fail = [&](std::string_view reason) {
    *err = couldNotRemove(path, reason);
    return false;
  };
  const auto parts = components(path);
  UniqueFd root(::open("/", kDirFlags));
  Identity rootId;
  if (!root || !identityOfFd(root.get(), rootId)) return fail(platform::errorText(errno));

  // Walk to the item's folder one component at a time, following no link.
  UniqueFd dir = std::move(root);
  std::string walked;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    const std::string part(parts[i]);
    walked.append(1, '/').append(part);
    UniqueFd next(::openat(dir.get(), part.c_str(), kDirFlags));
    if (!next) {
      const int error = errno;
      struct stat st;
      if (::fstatat(dir.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode)) {
        return fail(quoted(walked) + " is a symbolic link");
      }
      return fail(platform::errorText(error));
    }
    dir = std::move(next);
  }

  Identity parentId;
  if (!identityOfFd(dir.get(), parentId)) return fail(platform::errorText(errno));
  if (parentId == rootId) return fail("items in the root folder are never removed");

  const std::string name(parts.back());
  struct stat st;
  if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return fail(platform::errorText(errno));
  }
  if (!S_ISDIR(st.st_mode)) {
    return ::unlinkat(dir.get(), name.c_str(), 0) == 0 || fail(platform::errorText(errno));
  }
  if (st.st_dev != parentId.dev || isMountRoot(dir.get(), name.c_str())) {
    return fail("another file system is mounted there");
  }
  return FolderRemoval(dir.get(), name, st, path, err).run();
}

}  // namespace

bool checkRemovalPath(std::string_view path, std::string* refusal) {
  const auto refuse = [&](std::string text) {
    *refusal = std::move(text);
    return false;
  };
  if (path.empty()) return refuse("Refusing to remove an empty path");
  if (path.find('\0') != std::string_view::npos) {
    return refuse("Refusing to remove a path that contains a NUL character");
  }
  const std::string refusing = "Refusing to remove " + quoted(path) + ": ";
  if (path.front() != '/') return refuse(refusing + "the path is not absolute");
  const auto parts = components(path);
  for (const auto part : parts) {
    if (part == "." || part == "..") {
      return refuse(refusing + "the path has a \".\" or \"..\" component");
    }
  }
  if (parts.empty()) return refuse(refusing + "the root folder is never removed");
  if (parts.size() == 1) return refuse(refusing + "items in the root folder are never removed");
  return true;
}

common::FlagMessage uninstallApp(const std::string& path) {
  try {
    std::string err;
    if (!checkRemovalPath(path, &err) || !removeItem(path, &err)) return {false, std::move(err)};
    return {true, std::nullopt};
  } catch (...) {
    return {false, couldNotRemove(path, platform::errorText(ENOMEM))};
  }
}

}  // namespace control
