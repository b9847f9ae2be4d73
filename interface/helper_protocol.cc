#include "interface/helper_protocol.h"

#include <cassert>

namespace interface {
namespace {

using common::Array;
using common::Nil;
using common::Value;

std::optional<std::string> optionalString(const Value& v) {
  if (const std::string* s = v.string()) return *s;
  return std::nullopt;
}

std::optional<Array> optionalArray(const Value& v) {
  if (const Array* a = v.array()) return *a;
  return std::nullopt;
}

}  // namespace

const std::vector<std::pair<std::string, std::string>>& helperProtocolMethods() {
  static const std::vector<std::pair<std::string, std::string>> methods = {
      {kFetchSystemProcesses, kListingEncoding}, {kFetchDetailedProcesses, kListingEncoding},
      {kFetchAllProcessData, kListingEncoding},  {kTerminateProcess, kTerminateEncoding},
      {kUninstallApp, kUninstallEncoding},       {kApplyFirewall, kFirewallEncoding},
      {kSendSignal, kSendSignalEncoding},
  };
  return methods;
}

const char* helperProtocolEncoding(const std::string& selector) {
  for (const auto& [s, e] : helperProtocolMethods()) {
    if (s == selector) return e.c_str();
  }
  return nullptr;
}

void ListingReply::operator()(korvane::Listing list) {
  Array strings;
  strings.reserve(list.size());
  for (auto& s : list) strings.emplace_back(std::move(s));
  block_(Array{Value(std::move(strings))});
}

void FlagReply::operator()(bool success) { block_(Array{Value(success)}); }

void FlagMessageReply::operator()(const korvane::FlagMessage& result) {
  block_(Array{Value(result.success), result.message ? Value(*result.message) : Value(Nil{})});
}

std::shared_ptr<const transport::MethodTable> HelperProtocol::interface() {
  return transport::MethodTable::withMethods(helperProtocolMethods());
}

void HelperProtocol::invoke(transport::Invocation& inv) {
  const std::string& selector = inv.method.selector;
  const Array& a = inv.arguments;
  try {
    if (selector == kFetchSystemProcesses) {
      fetchSystemProcessesWithCompletion(ListingReply(inv.reply));
    } else if (selector == kFetchDetailedProcesses) {
      fetchDetailedProcessesWithCompletion(ListingReply(inv.reply));
    } else if (selector == kFetchAllProcessData) {
      fetchAllProcessDataWithCompletion(ListingReply(inv.reply));
    } else if (selector == kTerminateProcess) {
      terminateProcessWithPid(*a.at(0).asInt64(), FlagReply(inv.reply));
    } else if (selector == kUninstallApp) {
      uninstallAppAt(optionalString(a.at(0)), FlagMessageReply(inv.reply));
    } else if (selector == kApplyFirewall) {
      applyFirewallWithEnable(*a.at(0).boolean(), optionalArray(a.at(1)), optionalArray(a.at(2)),
                              optionalArray(a.at(3)), optionalArray(a.at(4)),
                              FlagMessageReply(inv.reply));
    } else if (selector == kSendSignal) {
      sendSignalWithPid(*a.at(0).asInt64(), optionalString(a.at(1)), FlagReply(inv.reply));
    } else {
      assert(false && "interface holds a selector the protocol does not");
    }
  } catch (...) {
    // Nothing may escape to the transport; the caller still gets its one reply.
    if (inv.reply.called()) return;
    const auto& reply = inv.method.signature.replyParameters;
    if (reply.size() == 1 && reply[0] == transport::ArgType::kArray) {
      inv.reply(Array{Value(Array{})});
    } else if (reply.size() == 1) {
      inv.reply(Array{Value(false)});
    } else {
      inv.reply(Array{Value(false), Value("The helper failed to carry out the request.")});
    }
  }
}

}  // namespace interface
