// Atomic replacement of a whole file. Safe to call from any thread.
#pragma once

#include <sys/types.h>

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
// created. Returns true on success; on failure false with `*err` naming the
// file, the failing call and the reason (fileFailure in error_text.h), e.g.
// `Could not write "/etc/pf.conf" (rename): Permission denied.`, the
// temporary file gone and `path` as it was. Once the rename is done the write
// counts as made: the folder sync after it is best effort.
// Before it writes, it removes what earlier writes of `path` left behind when
// their process died before the rename: entries of the folder named
// ".NAME.XXXXXX" (NAME the file's name, six ASCII letters or digits), that
// are regular files owned by the calling user, found without following
// links. Nothing else in the folder is touched. Writes within one process
// take turns; two processes writing the same file at once may take each
// other's temporary file for a leftover (the write then fails).
bool replaceFileAtomically(const std::string& path, std::string_view bytes,
                           const AtomicWriteOptions& options, std::string* err);

}  // namespace platform
