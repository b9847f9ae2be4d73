// Removing an application (or any file-system item) from disk with the
// daemon's rights.
#pragma once

#include <string>
#include <string_view>

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
// - The first failure ends the removal; what was removed before it stays
//   removed. The message names the item that failed, e.g.
//   Could not remove "/opt/App.app/Contents/lock": Permission denied
// - Any depth: the walk holds a few descriptors whatever the depth, and no
//   recursion.
// Safe to call from several threads at once.
common::FlagMessage uninstallApp(const std::string& path);

}  // namespace control
