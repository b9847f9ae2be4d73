// korvane-helperctl's command line and the output of its replies (pure).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "client/helper_client.h"
#include "client/records.h"
#include "client/top.h"
#include "firewall/firewall_rules.h"

namespace korvane {

// Exit statuses.
inline constexpr int kExitNo = 1;             // the helper answered NO
inline constexpr int kExitUsage = 2;          // the command line is wrong
inline constexpr int kExitUnavailable = 69;   // the helper could not be reached or used
inline constexpr int kExitOutput = 74;        // the output could not be written (EX_IOERR)
inline constexpr int kExitNoPermission = 77;  // the helper does not authorize this user (EX_NOPERM)

struct Command {
  enum class Kind {
    kHelp,  // print `text`
    kListing,
    kTerminate,
    kSignal,
    kUninstall,
    kFirewallEnable,
    kFirewallDisable,
    kFirewallStatus,
    kTop,
  };
  Kind kind = Kind::kHelp;
  bool json = false;
  std::string text;  // the help, the signal, or the path to remove

  ListingKind listing = ListingKind::kDetailedProcesses;
  bool raw = false;
  bool records = false;
  std::optional<std::string> user;  // --user as given; findUser() turns it into selection.user
  Selection selection;

  std::int64_t pid = 0;
  std::vector<std::int64_t> inboundTCP, outboundTCP, inboundUDP, outboundUDP;

  TopSort topSort = TopSort::kCpu;  // reversed with selection.reverse
  double interval = 1.0;            // seconds between top's samples
  std::string topName;              // top --name
  bool batch = false;               // top -b
  int frames = 0;                   // top -n
};

// Parses the arguments after the program name. Where a subcommand expects a
// value, the next argument is that value even when it starts with a dash
// ("terminate -1", "signal -STOP 42", "uninstall --json"); only "-h" and
// "--help" there ask for help. --json may stand anywhere. On a usage error
// returns the message for a person (one line, then how to get help).
std::variant<Command, std::string> parseCommandLine(const std::vector<std::string>& args);

// The user --user names: a login name in `passwdPath`, else a decimal uid,
// which need not have a name there (ps takes one so too); the name is the
// first entry of the uid. nullopt when it is neither.
std::optional<UserId> findUser(const std::string& text,
                               const std::string& passwdPath = "/etc/passwd");

// A port list "22,80" as integers; "" is the empty list. nullopt when an
// element is not a decimal integer in the signed 64-bit range.
std::optional<std::vector<std::int64_t>> parsePortList(const std::string& text);

// The JSON string literal for `text` (invalid UTF-8 replaced by U+FFFD,
// controls escaped as escapeJsonControls says).
std::string jsonString(const std::string& text);

// How a reply is printed. Replies carry other users' bytes (process names,
// paths, names of files being removed): a terminal gets their control
// characters as tables show them, a pipe or file the bytes exactly.
enum class Form { kExact, kTerminal, kJson };
// kJson with --json or --records, else kTerminal when `fd` is a terminal,
// else kExact.
Form outputForm(const Command& cmd, int fd);

// The reply as today's scripts read it, plain or JSON, ending with a line
// feed (a listing with no elements prints nothing in plain form).
std::string formatListing(const Listing& list, Form form);
std::string formatFlag(bool success, Form form);
// What a listing prints for `cmd`: the table (for a terminal, without --raw;
// lines cut to `width` when above 0), the records (--records), else the
// elements as the helper sent them, only the selected ones when --user or
// --sort asks, after those that are no record (the ps listing's header).
// `uids` as selectRecords() takes it.
std::string formatSelectedListing(const Command& cmd, const Listing& list, Form form, int width,
                                  const std::map<std::int64_t, std::int64_t>& uids);
std::string formatFlagMessage(const FlagMessage& result, Form form);
// What `firewall status` prints for the anchor file's lists (in the
// firewall operation's order): a table of the lists that block something, or
// "nothing blocked"; for kJson an object with each list under its option's
// name ("inbound-tcp": [22, 80]).
std::string formatFirewallStatus(const std::array<firewall::PortList, 4>& lists, Form form);

// The one line that tells a person what to do when connect() failed.
std::string connectAdvice(ConnectFailure failure, const std::string& error);

// The exit status and the one line for a person when a call failed with
// `failure` and `error`: kExitNoPermission for a refused listing (the only
// request the helper refuses so; others answer NO), else kExitUnavailable.
int callFailureStatus(CallFailure failure);
std::string callAdvice(CallFailure failure, const std::string& error);

}  // namespace korvane
