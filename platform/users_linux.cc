#include <pwd.h>

#include <cerrno>

#include "platform/users.h"

namespace platform {

std::optional<std::string_view> UserNames::find(uid_t uid) {
  // An entry with long fields does not fit: grow and ask again.
  constexpr std::size_t kMaxBuffer = std::size_t{1} << 20;
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    int rc;
    do {
      rc = ::getpwuid_r(uid, &entry, buffer_.data(), buffer_.size(), &found);
    } while (rc == EINTR);
    if (rc == ERANGE && buffer_.size() < kMaxBuffer) {
      buffer_.resize(buffer_.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || found->pw_name == nullptr || found->pw_name[0] == '\0') {
      return std::nullopt;
    }
    return std::string_view(found->pw_name);
  }
}

}  // namespace platform
