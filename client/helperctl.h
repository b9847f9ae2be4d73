// korvane-helperctl's command line and output (pure).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/replies.h"
#include "common/value.h"

namespace client {

struct Command {
  enum class Kind {
    kHelp,
    kSystemProcesses,
    kDetailedProcesses,
    kProcessData,
    kTerminate,
    kSignal,
    kUninstall,
    kFirewallEnable,
    kFirewallDisable,
  };
  Kind kind = Kind::kHelp;
  bool json = false;
  std::int64_t pid = 0;
  std::string text;  // the signal, or the path to remove
  common::Array inboundTCP, outboundTCP, inboundUDP, outboundUDP;
};

// Parses the arguments after the program name. Where a value is expected,
// the next argument is that value even when it starts with a dash
// ("terminate -1", "signal -STOP 42"). On a usage error returns the message.
std::variant<Command, std::string> parseCommandLine(const std::vector<std::string>& args);

std::string usageText();

// A port list "22,80" as integers; "" is the empty list. nullopt when an
// element is not a decimal integer in the signed 64-bit range.
std::optional<common::Array> parsePortList(const std::string& text);

// The JSON string literal for `text` (invalid UTF-8 replaced by U+FFFD).
std::string jsonString(const std::string& text);

// Output text for each reply shape, plain or JSON, ending with a line feed
// (a listing with no elements prints nothing in plain form).
std::string formatListing(const common::Listing& list, bool json);
std::string formatFlag(bool success, bool json);
std::string formatFlagMessage(const common::FlagMessage& result, bool json);

}  // namespace client
