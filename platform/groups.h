// Group database lookups.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace platform {

// The gid of the group called `name`, or nullopt when there is no such group
// (or the database cannot be read). Safe on any thread.
std::optional<gid_t> groupIdForName(const std::string& name);

}  // namespace platform
