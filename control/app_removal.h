// Removing an application (or any file-system item) from disk with the
// daemon's rights.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/replies.h"

namespace control {

// True when uninstallApp may try to remove `path`; otherwise false with
// `*refusal` the message with which it refuses before touching the disk.
// Refused: the empty path, a path that is not absolute, one holding a NUL
// character or a "." or ".." component, the root folder and anything directly
// in it ("/usr", "/etc", "/.hidden", ...). Empty components ("//") are
// ignored. Pure.
bool checkRemovalPath(std::string_view path, std::string* refusal);

// Removes the item at `path`: a file, a symbolic link (the link itself) or a
// folder with everything in it. Returns {true, nullopt} when it is gone, and
// otherwise {false, message} with a message that names the item and the
// reason.
//
// Rules, for a daemon that removes as root what a caller names:
// - `path` is taken literally: every folder on the way to the item is opened
//   without following symbolic links, and a link among them refuses the
//   removal. So the item removed is always the one the text names, never one
//   a link elsewhere points to.
// - Nothing below the item is followed either: a link inside the tree is
//   removed as a link, and what it points to is left alone.
// - The removal stays on the item's own file system: a mount point at the
//   item or inside it refuses the removal there (nothing of the mounted file
//   system is touched). An item directly in the root folder is refused even
//   when reached through a bind mount of the root.
// - `ownFiles` are the helper's own files (absolute paths; links in them are
//   followed, so "/proc/self/exe" names the executable): neither they nor
//   any folder that holds one is removed. They are told by identity (device
//   and inode), taken afresh at each call, so no rename, bind mount or other
//   spelling of a path hides them. The item is checked before anything is
//   removed, e.g.
//   Refusing to remove "/run": it holds the helper's own file "/run/x.socket"
//   and one met inside the tree ends the removal there.
// - The first failure ends the removal; what was removed before it stays
//   removed. The message names the item that failed, e.g.
//   Could not remove "/opt/App.app/Contents/lock": Permission denied
//   Where that path would pass 4096 bytes below `path`, or a folder on it
//   was moved meanwhile, the message names the end it could find and its
//   depth, e.g.
//   Could not remove "d/d/lock", 9000 levels below "/opt/App.app": ...
//   Could not remove a folder 12 levels below "/opt/App.app": it was moved...
// - Any depth: the walk holds a few descriptors and 8 bytes for each level
//   of the folder it is in, and no recursion.
// Safe to call from several threads at once.
korvane::FlagMessage uninstallApp(const std::string& path,
                                  const std::vector<std::string>& ownFiles);

// Removal as the request handler sees it: the seam in front of the disk.
class AppRemover {
 public:
  virtual ~AppRemover() = default;
  // The contract of uninstallApp, with the helper's own files the remover
  // was given. Safe from any thread.
  virtual korvane::FlagMessage uninstallApp(const std::string& path) = 0;
};

// uninstallApp on the machine's disk, sparing `ownFiles`.
class DiskAppRemover final : public AppRemover {
 public:
  explicit DiskAppRemover(std::vector<std::string> ownFiles) : ownFiles_(std::move(ownFiles)) {}
  korvane::FlagMessage uninstallApp(const std::string& path) override {
    return control::uninstallApp(path, ownFiles_);
  }

 private:
  const std::vector<std::string> ownFiles_;
};

}  // namespace control
