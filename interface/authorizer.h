// Who may act: the seam the request handler asks before every act, and the
// caller it asks about.
#pragma once

#include <sys/types.h>

#include <string>

#include "authorization/audit_record.h"
#include "authorization/polkit.h"

namespace interface {

// The caller of one connection, as the kernel identified it at connect.
struct Caller {
  pid_t pid = -1;
  uid_t uid = static_cast<uid_t>(-1);
  std::string executable;
};

// Who let the caller act, or kDenied with why (for the record).
struct Authorization {
  authorization::AuthorizedBy by = authorization::AuthorizedBy::kDenied;
  std::string reason;  // "" when allowed
};

class Authorizer {
 public:
  virtual ~Authorizer() = default;
  // Who lets the connection's caller perform `action` (an action id of
  // authorization/actions.h), or kDenied and why. May block for minutes while a
  // person authenticates; denies at once when the caller hangs up, and on
  // any failure. `details` name the act in the prompt. Called on the
  // connection's thread only.
  virtual Authorization authorize(const char* action, const authorization::Details& details) = 0;
};

}  // namespace interface
