// System error numbers as text, for messages meant for people.
#pragma once

#include <string>

namespace platform {

// The description of errno value `error` ("No such file or directory"), or
// "Unknown error N". Safe on any thread (no shared buffer).
std::string errorText(int error);

}  // namespace platform
