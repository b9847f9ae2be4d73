// The polkit actions the helper asks about, one per kind of act, and the
// choice of action for a request (pure).
#pragma once

#include <sys/types.h>

#include <optional>

namespace authorization {

// The action ids of com.korvane.helper.policy.
inline constexpr char kListProcessesAction[] = "com.korvane.helper.list-processes";
inline constexpr char kSignalOwnProcessAction[] = "com.korvane.helper.signal-own-process";
inline constexpr char kSignalProcessAction[] = "com.korvane.helper.signal-process";
inline constexpr char kRemoveApplicationAction[] = "com.korvane.helper.remove-application";
inline constexpr char kChangeFirewallAction[] = "com.korvane.helper.change-firewall";

// What a request asks for; the caller maps its selectors onto these (the
// three listings are kListing, terminate and send-signal are kSignal).
enum class RequestKind { kListing, kSignal, kUninstall, kFirewall };

// The real and saved uids of the process a signal would go to, read from the
// target before the check.
struct TargetUids {
  uid_t real;
  uid_t saved;
};

// The action that authorizes `kind` for a caller of uid `callerUid`. A
// signal is signal-own-process when the target's real or saved uid is the
// caller's uid (the rule kill(2) applies to an unprivileged sender), and
// signal-process otherwise, also when `target` is unknown (the process could
// not be read: the stricter action). `target` is ignored for the other kinds.
// Returns one of the constants above, never null.
const char* actionFor(RequestKind kind, uid_t callerUid, std::optional<TargetUids> target);

}  // namespace authorization
