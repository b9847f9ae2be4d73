// User database lookups.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace platform {

// The login name of `uid`, or nullopt when there is no entry (or it has no
// name). Re-entrant: safe on any number of threads at once.
std::optional<std::string> userNameForUid(uid_t uid);

}  // namespace platform
