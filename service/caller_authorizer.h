// Who may act, for one connection: root and the members of the helper's
// group outright, everyone else per action through polkit.
#pragma once

#include <sys/types.h>

#include <optional>

#include "authorization/polkit.h"
#include "interface/authorizer.h"
#include "transport/audit_token.h"

namespace service {

class CallerAuthorizer final : public interface::Authorizer {
 public:
  // `token` is the connection's, which outlives this object (the connection
  // owns both); `helperGroup` the group whose members act without polkit.
  CallerAuthorizer(const transport::AuditToken& token, std::optional<gid_t> helperGroup)
      : token_(token), helperGroup_(helperGroup) {}

  // kRoot for uid 0; kGroup when the peer's groups at connect included the
  // helper's group; else polkit's answer for the peer's process (its pidfd,
  // start time and SO_PEERCRED uid, never request data), asked with user
  // interaction and cancelled when the peer hangs up: kPolkit or kDenied.
  interface::Authorization authorize(const char* action,
                                     const authorization::Details& details) override;

 private:
  const transport::AuditToken& token_;
  const std::optional<gid_t> helperGroup_;
  authorization::PolkitChecker checker_;
};

}  // namespace service
