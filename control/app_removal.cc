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
std::optional<std::string> removeFolder(int parent, const std::string& name, const struct stat& top,
                                        const std::string& shown) {
  const Identity topId = identityOf(top);
  std::vector<Identity> ancestors{topId};  // the folders from the item down to `current`
  std::vector<std::string> names;          // their names below the item
  const auto pathOf = [&](std::string_view leaf) {
    std::string p = shown;
    for (const auto& n : names) p.append(1, '/').append(n);
    if (!leaf.empty()) p.append(1, '/').append(leaf);
    return p;
  };

  UniqueFd current(::openat(parent, name.c_str(), kDirFlags));
  if (!current) return couldNotRemove(shown, platform::errorText(errno));
  Identity opened;
  if (!identityOfFd(current.get(), opened))
    return couldNotRemove(shown, platform::errorText(errno));
  if (opened != topId) return couldNotRemove(shown, "it was replaced during the removal");

  for (;;) {
    const int listFd = ::fcntl(current.get(), F_DUPFD_CLOEXEC, 0);
    if (listFd < 0) return couldNotRemove(pathOf({}), platform::errorText(errno));
    DirStream list(::fdopendir(listFd));
    if (!list) {
      const int err = errno;
      ::close(listFd);
      return couldNotRemove(pathOf({}), platform::errorText(err));
    }

    bool descended = false;
    for (;;) {
      errno = 0;
      const dirent* entry = ::readdir(list.get());
      if (!entry) {
        if (errno != 0) return couldNotRemove(pathOf({}), platform::errorText(errno));
        break;
      }
      const std::string_view entryName = entry->d_name;
      if (entryName == "." || entryName == "..") continue;

      struct stat st;
      if (::fstatat(current.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;  // removed by someone else meanwhile
        return couldNotRemove(pathOf(entryName), platform::errorText(errno));
      }
      if (!S_ISDIR(st.st_mode)) {
        if (::unlinkat(current.get(), entry->d_name, 0) != 0 && errno != ENOENT) {
          return couldNotRemove(pathOf(entryName), platform::errorText(errno));
        }
        continue;
      }
      if (st.st_dev != top.st_dev || isMountRoot(current.get(), entry->d_name)) {
        return couldNotRemove(pathOf(entryName), "another file system is mounted there");
      }
      UniqueFd child(::openat(current.get(), entry->d_name, kDirFlags));
      if (!child) {
        if (errno == ENOENT) continue;
        return couldNotRemove(pathOf(entryName), platform::errorText(errno));
      }
      if (!identityOfFd(child.get(), opened)) {
        return couldNotRemove(pathOf(entryName), platform::errorText(errno));
      }
      if (opened != identityOf(st)) {
        return couldNotRemove(pathOf(entryName), "it was replaced during the removal");
      }
      ancestors.push_back(opened);
      names.emplace_back(entryName);
      current = std::move(child);
      descended = true;
      break;
    }
    if (descended) continue;

    // `current` is empty now.
    if (names.empty()) break;
    UniqueFd up(::openat(current.get(), "..", kDirFlags));
    if (!up || !identityOfFd(up.get(), opened))
      return couldNotRemove(pathOf({}), platform::errorText(errno));
    if (opened != ancestors[ancestors.size() - 2]) {
      return couldNotRemove(pathOf({}), "it was moved during the removal");
    }
    const std::string emptied = std::move(names.back());
    names.pop_back();
    ancestors.pop_back();
    if (::unlinkat(up.get(), emptied.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
      return couldNotRemove(pathOf(emptied), platform::errorText(errno));
    }
    current = std::move(up);
  }
  current.reset();
  if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0) {
    return couldNotRemove(shown, platform::errorText(errno));
  }
  return std::nullopt;
}

std::optional<std::string> removeItem(const std::string& path) {
  const auto parts = components(path);
  UniqueFd root(::open("/", kDirFlags));
  Identity rootId;
  if (!root || !identityOfFd(root.get(), rootId))
    return couldNotRemove(path, platform::errorText(errno));

  // Walk to the item's folder one component at a time, following no link.
  UniqueFd dir = std::move(root);
  std::string walked;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    const std::string part(parts[i]);
    walked.append(1, '/').append(part);
    UniqueFd next(::openat(dir.get(), part.c_str(), kDirFlags));
    if (!next) {
      const int err = errno;
      struct stat st;
      if (::fstatat(dir.get(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode)) {
        return couldNotRemove(path, quoted(walked) + " is a symbolic link");
      }
      return couldNotRemove(path, platform::errorText(err));
    }
    dir = std::move(next);
  }

  Identity parentId;
  if (!identityOfFd(dir.get(), parentId)) return couldNotRemove(path, platform::errorText(errno));
  if (parentId == rootId) {
    return couldNotRemove(path, "items in the root folder are never removed");
  }

  const std::string name(parts.back());
  struct stat st;
  if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return couldNotRemove(path, platform::errorText(errno));
  }
  if (!S_ISDIR(st.st_mode)) {
    if (::unlinkat(dir.get(), name.c_str(), 0) != 0)
      return couldNotRemove(path, platform::errorText(errno));
    return std::nullopt;
  }
  if (st.st_dev != parentId.dev || isMountRoot(dir.get(), name.c_str())) {
    return couldNotRemove(path, "another file system is mounted there");
  }
  return removeFolder(dir.get(), name, st, path);
}

}  // namespace

std::optional<std::string> removalRefusal(std::string_view path) {
  if (path.empty()) return "Refusing to remove an empty path";
  if (path.find('\0') != std::string_view::npos) {
    return "Refusing to remove a path that contains a NUL character";
  }
  const std::string refusing = "Refusing to remove " + quoted(path) + ": ";
  if (path.front() != '/') return refusing + "the path is not absolute";
  const auto parts = components(path);
  for (const auto part : parts) {
    if (part == "." || part == "..") return refusing + "the path has a \".\" or \"..\" component";
  }
  if (parts.empty()) return refusing + "the root folder is never removed";
  if (parts.size() == 1) return refusing + "items in the root folder are never removed";
  return std::nullopt;
}

common::FlagMessage uninstallApp(const std::string& path) {
  try {
    if (auto refusal = removalRefusal(path)) return {false, std::move(refusal)};
    if (auto failure = removeItem(path)) return {false, std::move(failure)};
    return {true, std::nullopt};
  } catch (...) {
    return {false, couldNotRemove(path, platform::errorText(ENOMEM))};
  }
}

}  // namespace control
