#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/groups.h"

namespace platform {

std::optional<gid_t> groupIdForName(const std::string& name) {
  const long hint = ::sysconf(_SC_GETGR_R_SIZE_MAX);
  std::size_t size = hint > 0 ? static_cast<std::size_t>(hint) : 1024;
  // A group with many members needs a large buffer: grow it while the entry
  // does not fit.
  for (int attempt = 0; attempt < 12; ++attempt, size *= 2) {
    std::vector<char> buf(size);
    group entry{};
    group* found = nullptr;
    int rc;
    do {
      rc = ::getgrnam_r(name.c_str(), &entry, buf.data(), buf.size(), &found);
    } while (rc == EINTR);
    if (rc == ERANGE) continue;
    if (rc != 0 || found == nullptr) return std::nullopt;
    return found->gr_gid;
  }
  return std::nullopt;
}

}  // namespace platform
