#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/users.h"

namespace platform {

std::optional<std::string> userNameForUid(uid_t uid) {
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::size_t size = hint > 0 ? static_cast<std::size_t>(hint) : 1024;
  // getpwuid() hands every caller the same static storage; the re-entrant
  // form writes into ours, growing it while the entry does not fit.
  for (int attempt = 0; attempt < 8; ++attempt, size *= 2) {
    std::vector<char> buf(size);
    passwd entry{};
    passwd* found = nullptr;
    int rc;
    do {
      rc = ::getpwuid_r(uid, &entry, buf.data(), buf.size(), &found);
    } while (rc == EINTR);
    if (rc == ERANGE) continue;
    if (rc != 0 || found == nullptr || found->pw_name == nullptr || found->pw_name[0] == '\0') {
      return std::nullopt;
    }
    return std::string(found->pw_name);
  }
  return std::nullopt;
}

}  // namespace platform
