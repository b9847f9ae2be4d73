// Atomic replacement of a whole file. Safe to call from any thread.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct AtomicWriteOptions {
  // Mode of a file that did not exist before.
  mode_t newFileMode = 0644;
  // Refuse unless `path` already names a regular file (not a link to one):
  // for rewriting a file in place, never creating one.
  bool mustExist = false;
};

// Replaces the file at `path` with `bytes` in one step: they go to a new
// temporary file in the same folder (a unique name, so two writers never
// share one), which gets the replaced file's mode and owner, is synced and
// renamed over `path`; then the folder is synced. A missing folder is not
// created. Returns nullopt on success, else a description naming the file,
// the failing call and the reason, e.g. `Could not write "/etc/pf.conf"
// (rename): Permission denied.` On failure the temporary file is gone and
// `path` is as it was. Once the rename is done the write counts as made: the
// folder sync after it is best effort.
std::optional<std::string> replaceFileAtomically(const std::string& path, std::string_view bytes,
                                                 const AtomicWriteOptions& options = {});

// "Could not VERB "PATH" (CALL): REASON." for errno value `error`.
std::string fileFailure(std::string_view verb, const std::string& path, std::string_view call,
                        int error);

}  // namespace platform
