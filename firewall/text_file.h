// Whole-file text reads and atomic text writes, with failures described for
// people: each description names the file, the call that failed and the
// system's reason, e.g. `Could not read "/etc/pf.conf" (open): No such file or
// directory.` Safe to call from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace firewall {

// The outcome of a read: `text` on success, otherwise `error`.
struct TextRead {
  std::optional<std::string> text;
  std::string error;
};

// Reads the whole file at `path`. Fails when the file cannot be opened or read
// (missing, denied, a directory) and when its bytes are not valid UTF-8.
TextRead readUtf8File(const std::string& path);

// Replaces the file at `path` with `text` in one step: the text goes to a new
// temporary file in the same folder, which is synced and renamed over `path`,
// and then the folder is synced. A missing file is created (mode 0644); an
// existing file keeps its mode and owner. A missing folder is not created.
// `text` must be valid UTF-8. Returns nullopt on success, else the
// description of the failure; on failure the temporary file is removed and
// the file at `path` is as it was.
std::optional<std::string> writeUtf8FileAtomically(const std::string& path, std::string_view text);

}  // namespace firewall
