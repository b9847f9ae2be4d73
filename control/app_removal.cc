#include "control/app_removal.h"

#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
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

// A path in a message keeps at most this much below the removed item
// (PATH_MAX): a tree can be deeper than any path the system takes, and its
// message should not cost more than the walk.
constexpr std::size_t kShownPathLimit = 4096;

// `named` is the item as the message names it (quoted, or a phrase).
std::string couldNotRemove(std::string_view named, std::string_view reason) {
  std::string text = "Could not remove ";
  text.append(named).append(": ").append(reason);
  return text;
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

// One of the helper's own files, or a folder that holds one.
struct OwnItem {
  Identity id;
  bool holds = false;  // a folder above `file`
  std::string file;    // as messages show it
};

// The identities of `files` and of every folder above each, as they are at
// this moment. The folders are found by climbing "..", so they are the ones
// that hold the file now, whatever the path's spelling or later renames.
std::vector<OwnItem> ownItems(const std::vector<std::string>& files) {
  std::vector<OwnItem> own;
  for (const auto& file : files) {
    const std::unique_ptr<char, decltype(&::free)> real(::realpath(file.c_str(), nullptr), ::free);
    const std::string shown = real ? real.get() : file;
    struct stat st;
    if (::stat(file.c_str(), &st) == 0) own.push_back({identityOf(st), false, shown});
    const std::size_t slash = shown.rfind('/');
    if (slash == std::string::npos) continue;
    UniqueFd dir(::open(slash == 0 ? "/" : shown.substr(0, slash).c_str(), kDirFlags));
    Identity id;
    while (dir && identityOfFd(dir.get(), id)) {
      own.push_back({id, true, shown});
      UniqueFd up(::openat(dir.get(), "..", kDirFlags));
      Identity upId;
      if (!up || !identityOfFd(up.get(), upId) || upId == id) break;  // the root is its own ".."
      dir = std::move(up);
    }
  }
  return own;
}

// Why the item `id` must stay ("it is the helper's own file ..."), or "".
std::string ownItemReason(const std::vector<OwnItem>& own, const Identity& id) {
  for (const auto& item : own) {
    if (item.id == id) {
      return (item.holds ? "it holds the helper's own file " : "it is the helper's own file ") +
             quoted(item.file);
    }
  }
  return {};
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

// A listing of the folder `dir` through a duplicate, so `dir` stays open
// after it; null with errno set on failure.
DirStream listingOf(int dir) {
  UniqueFd fd(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
  if (!fd) return nullptr;
  DirStream list(::fdopendir(fd.get()));
  if (list) fd.release();  // the stream owns it now
  return list;
}

std::string levels(std::size_t n) { return std::to_string(n) + (n == 1 ? " level" : " levels"); }

// Removes the folder `name` in `parent` with all its contents, `top` being
// what fstatat saw there and `shown` its path for messages. The walk holds
// one descriptor for the folder being emptied and climbs back through "..",
// checked against the inode each folder had on the way down. Those inodes
// (the tree is all on top's device) are all it keeps of the folders above:
// 8 bytes a level, neither descriptors nor stack nor names. An emptied folder
// is removed when its parent's listing meets it again, and a message that
// needs a path rebuilds it.
class FolderRemoval {
 public:
  FolderRemoval(int parent, const std::string& name, const struct stat& top,
                const std::string& shown, const std::vector<OwnItem>& own, std::string* err)
      : parent_(parent), name_(name), top_(top), shown_(shown), own_(own), err_(err) {}

  bool run() {
    inodes_.push_back(top_.st_ino);
    if (!openFolder(parent_, name_.c_str(), top_.st_ino, {}, &current_)) return false;
    for (;;) {
      bool descended = false;
      if (!emptyUntilSubfolder(&descended)) return false;
      if (descended) continue;
      if (inodes_.size() == 1) break;  // the item itself is empty now
      if (!climb()) return false;
    }
    current_.reset();
    if (::unlinkat(parent_, name_.c_str(), AT_REMOVEDIR) != 0) return failErrno({});
    return true;
  }

 private:
  // How a message names `leaf` in `current_` (`current_` itself when empty):
  // by its path, rebuilt by climbing ".." from `current_` and looking each
  // folder up by inode in its parent. Where a folder above is no longer
  // found (moved meanwhile) or the path would pass kShownPathLimit, by the
  // part found and how many levels below the item that part starts.
  std::string named(std::string_view leaf) const {
    std::vector<std::string> names;  // from `current_` upwards
    std::size_t length = leaf.size();
    std::size_t depth = inodes_.size() - 1;  // that of `dir`, below the item
    UniqueFd dir(depth > 0 ? ::fcntl(current_.get(), F_DUPFD_CLOEXEC, 0) : -1);
    for (; depth > 0 && dir; --depth) {
      UniqueFd up(::openat(dir.get(), "..", kDirFlags));
      Identity upId;
      if (!up || !identityOfFd(up.get(), upId) || upId != identity(inodes_[depth - 1])) break;
      std::string name = nameOf(up.get(), inodes_[depth]);
      if (name.empty() || length + name.size() + 1 > kShownPathLimit) break;
      length += name.size() + 1;
      names.push_back(std::move(name));
      dir = std::move(up);
    }
    std::string tail;
    for (auto it = names.rbegin(); it != names.rend(); ++it) tail.append(*it).append(1, '/');
    tail.append(leaf);
    if (!tail.empty() && tail.back() == '/') tail.pop_back();
    if (depth == 0) return quoted(tail.empty() ? shown_ : shown_ + "/" + tail);
    const std::string below = " below " + quoted(shown_);
    if (tail.empty()) return "a folder " + levels(depth) + below;
    return quoted(tail) + ", " + levels(depth + 1) + below;
  }

  // The name of the folder with inode `ino` in `dir`, or "" when none has it.
  std::string nameOf(int dir, ino_t ino) const {
    const DirStream list = listingOf(dir);
    while (const dirent* entry = list ? ::readdir(list.get()) : nullptr) {
      const std::string_view entryName = entry->d_name;
      struct stat st;
      if (entryName != "." && entryName != ".." &&
          (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) &&
          ::fstatat(dir, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
          identityOf(st) == identity(ino)) {
        return std::string(entryName);
      }
    }
    return {};
  }

  Identity identity(ino_t ino) const { return {top_.st_dev, ino}; }

  bool fail(std::string_view leaf, std::string_view reason) {
    *err_ = couldNotRemove(named(leaf), reason);
    return false;
  }
  bool failErrno(std::string_view leaf) { return fail(leaf, platform::errorText(errno)); }

  // Opens the folder `name` in `dir` without following a link and checks it
  // is the one with inode `expected` (else fails with `swapped`). A folder
  // gone meanwhile sets *gone (when given) instead of failing.
  bool openFolder(int dir, const char* name, ino_t expected, std::string_view leaf, UniqueFd* out,
                  bool* gone = nullptr,
                  std::string_view swapped = "it was replaced during the removal") {
    UniqueFd fd(::openat(dir, name, kDirFlags));
    Identity opened;
    if (!fd && gone && errno == ENOENT) return *gone = true;
    if (!fd || !identityOfFd(fd.get(), opened)) return failErrno(leaf);
    if (opened != identity(expected)) return fail(leaf, swapped);
    *out = std::move(fd);
    return true;
  }

  // Removes everything in `current_` that is not a folder, and every folder
  // that is empty, until it finds one that is not: then makes that
  // `current_` and sets *descended.
  bool emptyUntilSubfolder(bool* descended) {
    const DirStream list = listingOf(current_.get());
    if (!list) return failErrno({});
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
      if (const std::string reason = ownItemReason(own_, identityOf(st)); !reason.empty()) {
        return fail(entryName, reason);
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
      if (::unlinkat(current_.get(), entry->d_name, AT_REMOVEDIR) == 0 || errno == ENOENT) {
        continue;
      }
      // The folder just emptied is not entered again: someone keeps filling it.
      if ((errno != ENOTEMPTY && errno != EEXIST) || st.st_ino == emptied_) {
        return failErrno(entryName);
      }
      UniqueFd child;
      bool gone = false;
      if (!openFolder(current_.get(), entry->d_name, st.st_ino, entryName, &child, &gone)) {
        return false;
      }
      if (gone) continue;
      inodes_.push_back(st.st_ino);
      current_ = std::move(child);
      emptied_ = 0;
      return *descended = true;
    }
  }

  // `current_` is empty: goes up to its parent, whose listing removes it.
  bool climb() {
    UniqueFd up;
    if (!openFolder(current_.get(), "..", inodes_[inodes_.size() - 2], {}, &up, nullptr,
                    "it was moved during the removal")) {
      return false;
    }
    emptied_ = inodes_.back();
    inodes_.pop_back();
    current_ = std::move(up);
    return true;
  }

  const int parent_;
  const std::string& name_;
  const struct stat& top_;
  const std::string& shown_;
  const std::vector<OwnItem>& own_;
  std::string* err_;
  std::deque<ino_t> inodes_;  // of the folders from the item down to `current_`
  ino_t emptied_ = 0;         // of the folder just emptied, which `current_` holds
  UniqueFd current_;
};

bool removeItem(const std::string& path, const std::vector<OwnItem>& own, std::string* err) {
  const auto fail = [&](std::string_view reason) {
    *err = couldNotRemove(quoted(path), reason);
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
  if (const std::string reason = ownItemReason(own, identityOf(st)); !reason.empty()) {
    *err = "Refusing to remove " + quoted(path) + ": " + reason;
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    return ::unlinkat(dir.get(), name.c_str(), 0) == 0 || fail(platform::errorText(errno));
  }
  if (st.st_dev != parentId.dev || isMountRoot(dir.get(), name.c_str())) {
    return fail("another file system is mounted there");
  }
  return FolderRemoval(dir.get(), name, st, path, own, err).run();
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

korvane::FlagMessage uninstallApp(const std::string& path,
                                  const std::vector<std::string>& ownFiles) {
  try {
    std::string err;
    if (!checkRemovalPath(path, &err) || !removeItem(path, ownItems(ownFiles), &err)) {
      return {false, std::move(err)};
    }
    return {true, std::nullopt};
  } catch (...) {
    return {false, couldNotRemove(quoted(path), platform::errorText(ENOMEM))};
  }
}

}  // namespace control
