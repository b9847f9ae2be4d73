// System error numbers as text, for messages meant for people. Safe on any
// thread (no shared buffer).
#pragma once

#include <string>
#include <string_view>

namespace platform {

// The description of errno value `error` ("No such file or directory"), or
// "Unknown error N".
std::string errorText(int error);

// "CALL WHAT: REASON" for errno value `error`, the form of an `err` text
// that names a failed call, e.g. "open /etc/pf.conf: No such file or
// directory".
std::string callFailure(std::string_view call, std::string_view what, int error);

// "Could not VERB "PATH" (CALL): REASON." for errno value `error`: the form
// a failed file operation takes where it reaches people as a reply's message
// (the platform's description of the error), e.g.
// `Could not read "/etc/pf.conf" (open): No such file or directory.`
std::string fileFailure(std::string_view verb, std::string_view path, std::string_view call,
                        int error);

}  // namespace platform
