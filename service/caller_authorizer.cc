#include "service/caller_authorizer.h"

#include <algorithm>

#include "transport/diagnostics.h"

namespace service {

interface::Authorization CallerAuthorizer::authorize(const char* action,
                                                     const authorization::Details& details) {
  using authorization::AuthorizedBy;
  if (token_.uid == 0) return {AuthorizedBy::kRoot, ""};
  if (helperGroup_ &&
      std::find(token_.groups.begin(), token_.groups.end(), *helperGroup_) != token_.groups.end()) {
    return {AuthorizedBy::kGroup, ""};
  }
  authorization::CheckResult result =
      checker_.check({token_.pidfd, token_.uid}, action, details, token_.socket);
  if (result.decision == authorization::Decision::kAllowed) return {AuthorizedBy::kPolkit, ""};
  return {AuthorizedBy::kDenied, std::move(result.reason)};
}

}  // namespace service
