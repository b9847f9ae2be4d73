// korvane-helperctl's command line and the output of its replies (pure).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "client/helper_client.h"
#include "client/records.h"
#include "client/top.h"

namespace client {

// Exit statuses.
inline constexpr int kExitNo = 1;            // the helper answered NO
inline constexpr int kExitUsage = 2;         // the command line is wrong
inline constexpr int kExitUnavailable = 69;  // the helper could not be reached or used

struct Command {
  enum class Kind {
    kHelp,  // print `text`
    kListing,
    kTerminate,
    kSignal,
    kUninstall,
    kFirewallEnable,
    kFirewallDisable,
    kTop,
  };
  Kind kind = Kind::kHelp;
  bool json = false;
  std::string text;  // the help, the signal, or the path to remove

  ListingKind listing = ListingKind::kDetailedProcesses;
  bool raw = false;
  bool records = false;
  Selection selection;

  std::int64_t pid = 0;
  std::vector<std::int64_t> inboundTCP, outboundTCP, inboundUDP, outboundUDP;

  TopSort topSort = TopSort::kCpu;
  double interval = 1.0;  // seconds between top's samples
};

// Parses the arguments after the program name. Where a subcommand expects a
// value, the next argument is that value even when it starts with a dash
// ("terminate -1", "signal -STOP 42", "uninstall --json"); only "-h" and
// "--help" there ask for help. --json may stand anywhere. On a usage error
// returns the message for a person (one line, then how to get help).
std::variant<Command, std::string> parseCommandLine(const std::vector<std::string>& args);

// A port list "22,80" as integers; "" is the empty list. nullopt when an
// element is not a decimal integer in the signed 64-bit range.
std::optional<std::vector<std::int64_t>> parsePortList(const std::string& text);

// The JSON string literal for `text` (invalid UTF-8 replaced by U+FFFD).
std::string jsonString(const std::string& text);

// The reply as today's scripts read it, plain or JSON, ending with a line
// feed (a listing with no elements prints nothing in plain form).
std::string formatListing(const Listing& list, bool json);
std::string formatFlag(bool success, bool json);
std::string formatFlagMessage(const FlagMessage& result, bool json);

// The one line that tells a person what to do when connect() failed.
std::string connectAdvice(ConnectFailure failure, const std::string& error);

}  // namespace client
