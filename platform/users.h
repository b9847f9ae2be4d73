// User database lookups.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>
#include <vector>

namespace platform {

// Looks login names up in the system's user database (getpwuid_r), each
// time anew, into a result buffer of its own that is reused from one lookup
// to the next. One thread at a time; threads with their own UserNames look
// up side by side.
class UserNames {
 public:
  // The login name of `uid`, or nullopt when there is no entry (or it has no
  // name). The view is valid until the next call.
  std::optional<std::string_view> find(uid_t uid);

 private:
  std::vector<char> buffer_ = std::vector<char>(1024);
};

}  // namespace platform
