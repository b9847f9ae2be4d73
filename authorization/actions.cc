#include "authorization/actions.h"

namespace authorization {

const char* actionFor(RequestKind kind, uid_t callerUid, std::optional<TargetUids> target) {
  switch (kind) {
    case RequestKind::kListing:
      return kListProcessesAction;
    case RequestKind::kSignal:
      return target && (target->real == callerUid || target->saved == callerUid)
                 ? kSignalOwnProcessAction
                 : kSignalProcessAction;
    case RequestKind::kUninstall:
      return kRemoveApplicationAction;
    case RequestKind::kFirewall:
      return kChangeFirewallAction;
  }
  return kSignalProcessAction;  // not reached: every kind is handled above
}

}  // namespace authorization
