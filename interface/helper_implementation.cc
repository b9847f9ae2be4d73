#include "interface/helper_implementation.h"

#include <signal.h>

#include "authorization/actions.h"
#include "processes/process_listings.h"

namespace interface {
namespace {

using authorization::AuditRecord;
using authorization::AuthorizedBy;
using authorization::Outcome;

// "inbound-tcp 22,80; outbound-udp 53": the lists as asked, for the record.
std::string describePorts(const common::Array* const (&lists)[4]) {
  static constexpr const char* kNames[] = {"inbound-tcp", "outbound-tcp", "inbound-udp",
                                           "outbound-udp"};
  std::string text;
  for (int i = 0; i < 4; ++i) {
    if (lists[i]->empty()) continue;
    if (!text.empty()) text += "; ";
    text.append(kNames[i]).push_back(' ');
    for (std::size_t j = 0; j < lists[i]->size(); ++j) {
      if (j > 0) text.push_back(',');
      const auto* n = std::get_if<std::int64_t>(&(*lists[i])[j].v);
      const auto* u = std::get_if<std::uint64_t>(&(*lists[i])[j].v);
      text += n ? std::to_string(*n) : u ? std::to_string(*u) : "?";
    }
  }
  return text;
}

}  // namespace

AuditRecord HelperImplementation::authorize(const char* action,
                                            const authorization::Details& details) {
  AuditRecord record;
  record.action = action;
  record.callerPid = caller_.pid;
  record.callerUid = caller_.uid;
  record.callerExe = caller_.executable;
  Authorization answer =
      authorizer_ ? authorizer_->authorize(action, details) : Authorization{{}, "no authorizer"};
  record.authorizedBy = answer.by;
  // finish() sets the outcome of an act that runs.
  record.outcome = answer.by == AuthorizedBy::kDenied ? Outcome::kDenied : Outcome::kDone;
  if (record.outcome == Outcome::kDenied) record.result = std::move(answer.reason);
  return record;
}

void HelperImplementation::finish(AuditRecord& record, bool success,
                                  const std::optional<std::string>& message) {
  record.outcome = success ? Outcome::kDone : Outcome::kFailed;
  record.result = std::string(success ? "YES" : "NO") + (message ? ": " + *message : "");
  services_.journal.record(record);
}

void HelperImplementation::forwardListing(ListingReply& reply,
                                          const std::function<korvane::Listing()>& routine) {
  AuditRecord record = authorize(authorization::kListProcessesAction, {});
  if (record.outcome == Outcome::kDenied) {
    services_.journal.record(record);
    reply.refuse();
    return;
  }
  reply(routine());
}

void HelperImplementation::fetchSystemProcessesWithCompletion(ListingReply reply) {
  forwardListing(reply, [this] {
    std::string err;
    std::optional<korvane::Listing> lines = services_.ps.list(&err);
    if (!lines) services_.journal.note("the ps listing failed, replied empty: " + err);
    return lines.value_or(korvane::Listing{});
  });
}

void HelperImplementation::fetchDetailedProcessesWithCompletion(ListingReply reply) {
  forwardListing(reply, [this] { return processes::fetchDetailedProcesses(services_.processes); });
}

void HelperImplementation::fetchAllProcessDataWithCompletion(ListingReply reply) {
  forwardListing(reply, [this] {
    // A live view asks for this every refresh on one connection: a kept
    // table, when one is free, serves them all.
    if (!keptTable_) keptTable_ = services_.processes.openKeptTable();
    return keptTable_ ? processes::fetchAllProcessData(*keptTable_)
                      : processes::fetchAllProcessData(services_.processes);
  });
}

void HelperImplementation::signalWithAuthorization(std::int64_t pid, const std::string& signal,
                                                   bool wellFormed, FlagReply& reply,
                                                   const std::function<bool()>& act) {
  // No such process, or a request kill would refuse: NO at once. No one is
  // asked (a person is never prompted for what cannot happen) and nothing is
  // recorded: nothing was done or denied.
  const std::optional<control::SignalTarget> target =
      wellFormed ? services_.targets.find(pid) : std::nullopt;
  if (!target) {
    reply(false);
    return;
  }
  const std::optional<platform::ProcessOwner>& owner = target->owner;
  const std::optional<authorization::TargetUids> uids =
      owner ? std::optional(authorization::TargetUids{owner->real, owner->saved}) : std::nullopt;
  const char* action =
      authorization::actionFor(authorization::RequestKind::kSignal, caller_.uid, uids);
  const std::string ownerText = owner ? std::to_string(owner->real) : "unknown";
  AuditRecord record = authorize(action, {{"pid", std::to_string(pid)},
                                          {"comm", owner ? owner->name : "unknown"},
                                          {"owner", ownerText}});
  record.targetPid = static_cast<pid_t>(pid);
  if (owner) {
    record.targetUid = owner->real;
    record.targetComm = owner->name;
  }
  record.signal = signal;
  if (record.outcome == Outcome::kDenied) {
    services_.journal.record(record);
    reply(false);
    return;
  }
  const bool same = services_.targets.unchanged(pid, *target);
  const bool success = same && act();
  finish(record, success, same ? std::nullopt : std::optional<std::string>("the target changed"));
  reply(success);
}

void HelperImplementation::terminateProcessWithPid(std::int64_t pid, FlagReply reply) {
  signalWithAuthorization(pid, "-KILL", true, reply,
                          [&] { return control::terminateProcess(pid, services_.signaller); });
}

void HelperImplementation::sendSignalWithPid(std::int64_t pid,
                                             const std::optional<std::string>& signal,
                                             FlagReply reply) {
  const std::string text = signal.value_or("");
  signalWithAuthorization(pid, text, signal && control::isSignalArgument(text), reply, [&] {
    return control::sendSignal(pid, text, services_.runner, services_.signaller);
  });
}

void HelperImplementation::uninstallAppAt(const std::optional<std::string>& path,
                                          FlagMessageReply reply) {
  const std::string item = path.value_or("");
  AuditRecord record = authorize(authorization::kRemoveApplicationAction, {{"path", item}});
  record.path = item;
  if (record.outcome == Outcome::kDenied) {
    services_.journal.record(record);
    reply({false, "Not authorized: " + record.action});
    return;
  }
  const korvane::FlagMessage result = services_.remover.uninstallApp(item);
  finish(record, result.success, result.message);
  reply(result);
}

void HelperImplementation::applyFirewallWithEnable(bool enable,
                                                   const std::optional<common::Array>& inboundTCP,
                                                   const std::optional<common::Array>& outboundTCP,
                                                   const std::optional<common::Array>& inboundUDP,
                                                   const std::optional<common::Array>& outboundUDP,
                                                   FlagMessageReply reply) {
  const common::Array none;
  auto orNone = [&](const std::optional<common::Array>& list) { return list ? &*list : &none; };
  const common::Array* const lists[4] = {orNone(inboundTCP), orNone(outboundTCP),
                                         orNone(inboundUDP), orNone(outboundUDP)};
  AuditRecord record = authorize(authorization::kChangeFirewallAction, {});
  record.ports = enable ? describePorts(lists) : "disable";
  if (record.outcome == Outcome::kDenied) {
    services_.journal.record(record);
    reply({false, "Not authorized: " + record.action});
    return;
  }
  const korvane::FlagMessage result =
      services_.firewall.apply(enable, *lists[0], *lists[1], *lists[2], *lists[3]);
  finish(record, result.success, result.message);
  reply(result);
}

}  // namespace interface
