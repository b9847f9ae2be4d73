#include "authorization/actions.h"

#include <gtest/gtest.h>

#include <string>

namespace authorization {
namespace {

TEST(ActionFor, ChoosesOneActionPerKindAndSignalsByTheKillRule) {
  constexpr uid_t kCaller = 1000;
  const struct {
    const char* name;
    RequestKind kind;
    std::optional<TargetUids> target;
    std::string action;
  } rows[] = {
      {"signal, real uid", RequestKind::kSignal, TargetUids{kCaller, 0}, kSignalOwnProcessAction},
      {"signal, saved uid", RequestKind::kSignal, TargetUids{0, kCaller}, kSignalOwnProcessAction},
      {"signal, another's", RequestKind::kSignal, TargetUids{0, 0}, kSignalProcessAction},
      {"signal, target unknown", RequestKind::kSignal, std::nullopt, kSignalProcessAction},
      {"uninstall, own target ignored", RequestKind::kUninstall, TargetUids{kCaller, kCaller},
       kRemoveApplicationAction},
      {"firewall", RequestKind::kFirewall, std::nullopt, kChangeFirewallAction},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(actionFor(row.kind, kCaller, row.target), row.action) << row.name;
  }
}

}  // namespace
}  // namespace authorization
