#include "client/helperctl.h"

#include <pwd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>

#include "common/decimal.h"
#include "common/utf8.h"
#include "control/process_signals.h"

namespace korvane {
namespace {

using Kind = Command::Kind;

constexpr const char* kProgram = "korvane-helperctl";

constexpr const char* kMainFooter = R"(
Listings print a table on a terminal, sorted by pid. Piped, or with --raw,
they print the helper's records one per line, exactly as it sends them
(on a terminal with control characters shown as ?, as in tables);
--json prints the reply as JSON, and --json --records one object per record
with named fields. Where a value is expected, an argument starting with a
dash is that value: terminate -1, signal -STOP 42.

Exit status: 0 success or listing, 1 the helper answered NO, 2 usage error,
69 the helper is unavailable (not running, not permitted, not admitted, busy,
ended the connection before replying, or sent no reply within 120 s; for
firewall status: the anchor file is unreadable),
74 the output could not be written (the message says why), 77 not
authorized to list processes, 128+N top ended by signal N.

On a terminal, a user who is neither root nor in korvane-helper may be asked
for an administrator's password (polkit), on this terminal.

Examples:
  korvane-helperctl top
  korvane-helperctl detailed-processes --sort resident --user alice | less
  korvane-helperctl --json --records process-data | jq '.[] | select(.threads > 8)'
  korvane-helperctl signal -STOP 4242)";

std::string signalList() {
  std::string list;
  for (const char* name : control::kSignalNames)
    list += std::string(list.empty() ? "" : " ") + name;
  return "a dash and one of " + list + " (SIG before it may be left out), RTMIN+N up to " +
         std::to_string(SIGRTMAX - SIGRTMIN) + ", or a number from 0 to " +
         std::to_string(SIGRTMAX);
}

// CLI11 reads "-STOP" as an option, so the values of the subcommands that
// take them are moved behind a "--", after which it reads only positionals.
// The subcommand is the first argument that is not a flag (no option before
// it takes a value).
std::vector<std::string> protectValues(std::vector<std::string> args) {
  static const std::map<std::string, std::size_t> kValueCount = {
      {"terminate", 1}, {"signal", 2}, {"uninstall", 1}};
  std::size_t sub = 0;
  while (sub < args.size() && args[sub].starts_with("-")) ++sub;
  if (sub == args.size()) return args;
  if (args[sub] == "help") {
    args[sub] = "--help";
    if (sub + 1 < args.size()) std::swap(args[sub], args[sub + 1]);
    return args;
  }
  const auto count = kValueCount.find(args[sub]);
  if (count == kValueCount.end()) return args;
  const auto begin = args.begin() + static_cast<std::ptrdiff_t>(sub + 1);
  const auto end =
      begin + static_cast<std::ptrdiff_t>(std::min(count->second, args.size() - sub - 1));
  if (std::find_if(begin, end, [](const std::string& a) { return a == "-h" || a == "--help"; }) !=
      end) {
    return args;
  }
  std::vector<std::string> values(begin, end);
  args.erase(begin, end);
  // Words beyond the values follow them, so that the one named as unexpected
  // is the one in excess ("terminate 1 2" names 2).
  const auto extras =
      std::stable_partition(args.begin() + static_cast<std::ptrdiff_t>(sub + 1), args.end(),
                            [](const std::string& a) { return a.starts_with("-"); });
  std::vector<std::string> after(extras, args.end());
  args.erase(extras, args.end());
  args.push_back("--");
  args.insert(args.end(), values.begin(), values.end());
  args.insert(args.end(), after.begin(), after.end());
  return args;
}

// The options of the four port lists, in the firewall operation's order.
constexpr const char* kPortOptions[] = {"--inbound-tcp", "--outbound-tcp", "--inbound-udp",
                                        "--outbound-udp"};

// The texts options and positionals are read into before they are checked.
struct Texts {
  std::string pid, signal, path, sort, user;
  std::vector<std::string> ports[4];
  bool records = false;
};

// The values of --sort: each name, and the name after a dash for the other direction.
std::vector<std::string> sortNames(const std::vector<std::string>& names) {
  std::vector<std::string> out = names;
  for (const auto& name : names) out.push_back("-" + name);
  return out;
}

std::vector<std::string> fieldNames(ListingKind kind) {
  std::vector<std::string> names;
  for (const auto& f : fieldsOf(kind)) names.emplace_back(f.name);
  return names;
}

// `record` is the layout the helper sends, which --raw and pipes get.
void addListing(CLI::App& app, const char* name, const char* what, const std::string& record,
                ListingKind kind, Texts& t) {
  auto* sub = app.add_subcommand(name, what);
  std::string fields;
  for (const auto& f : fieldNames(kind)) fields += " " + f;
  sub->add_option("--sort", t.sort,
                  "order by FIELD (sizes, threads and CPU largest first; -FIELD the other way)")
      ->check(CLI::IsMember(sortNames(fieldNames(kind))))
      ->type_name("FIELD");
  sub->add_option("--user", t.user, "only the processes of user NAME (a login name or a uid)")
      ->type_name("NAME");
  sub->footer(
      "\nOn a terminal: a table, sorted by pid.\nWith --json --records: one object per "
      "process, with the fields:\n " +
      fields + "\nPiped or with --raw: the helper's records, one per line:\n  " + record);
}

void addValueCommands(CLI::App& app, Texts& t) {
  auto* terminate = app.add_subcommand("terminate", "kill process PID with SIGKILL");
  terminate->add_option("PID", t.pid, "the process id (decimal)")->required()->type_name("");
  auto* signal = app.add_subcommand("signal", "run /bin/kill SIGNAL PID");
  signal->add_option("SIGNAL", t.signal, "a dash and a signal name or number: -STOP, -9")
      ->required()
      ->type_name("");
  signal->add_option("PID", t.pid, "the process id (decimal)")->required()->type_name("");
  auto* uninstall = app.add_subcommand("uninstall", "remove an application from disk");
  uninstall->add_option("PATH", t.path, "absolute path of the application (not top-level)")
      ->required()
      ->type_name("");
  auto* firewall = app.add_subcommand("firewall", "block ports with the pf anchor, or flush it");
  firewall->require_subcommand(1);
  auto* enable = firewall->add_subcommand("enable", "block the given destination ports");
  for (int i = 0; i < 4; ++i) {
    enable->add_option(kPortOptions[i], t.ports[i], "comma-separated ports, e.g. 22,80")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->type_name("P,P");
  }
  firewall->add_subcommand("disable", "flush the anchor");
  firewall->add_subcommand("status", "what the anchor file blocks (read here, no helper asked)");
}

void buildApp(CLI::App& app, Command& cmd, Texts& t) {
  app.fallthrough();
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string(kProgram) + " " + KORVANE_VERSION);
  app.add_flag("--json", cmd.json, "print the reply as JSON, exactly as the helper sends it");
  app.add_flag("--records", t.records, "with --json: one object per record, named fields");
  app.add_flag("--raw", cmd.raw, "print listings as the helper's records even on a terminal");
  addListing(app, "detailed-processes", "every process: user, memory, threads, name, path",
             "PID|user|resident|virtual|threads|path|name (sizes in bytes)",
             ListingKind::kDetailedProcesses, t);
  addListing(app, "process-data", "every process: uid, memory, threads, CPU time, name",
             "PID|uid|resident|threads|cpu-ns|name (CPU time in nanoseconds)",
             ListingKind::kProcessData, t);
  addListing(app, "system-processes", "the process table as /bin/ps prints it",
             "the lines of ps -axco user,pid,pcpu,comm", ListingKind::kSystemProcesses, t);
  addValueCommands(app, t);
  auto* top = app.add_subcommand("top", "a live view of every process (q quits)");
  top->add_option("--interval", cmd.interval, "seconds between refreshes")
      ->check(CLI::Range(0.1, 3600.0))
      ->type_name("SECONDS");
  top->add_option("--sort", t.sort, "initial order (-KEY the other way)")
      ->check(CLI::IsMember(sortNames({"cpu", "memory", "pid", "name"})))
      ->type_name("KEY");
  top->add_option("--user", t.user, "only the processes of user NAME (a login name or a uid)")
      ->type_name("NAME");
  top->add_option("--name", cmd.topName, "only the processes whose name contains TEXT")
      ->type_name("TEXT");
  top->add_flag("-b,--batch", cmd.batch, "plain-text frames on standard output, no terminal");
  top->add_option("-n,--frames", cmd.frames, "with -b: stop after N frames")
      ->check(CLI::PositiveNumber)
      ->type_name("N");
  top->footer(
      "\nKEYS: c, m, p, n sort by CPU, memory, pid, name; R reverses the order; arrows,\n"
      "Page Up/Down, Home, End select; t, k, s, r send SIGTERM, SIGKILL, SIGSTOP, SIGCONT (asks "
      "y/n);\nu shows one user's processes, / those whose name contains a text; h or ? lists "
      "the keys;\nq quits.");
  app.footer(kMainFooter);
}

// The innermost subcommand the arguments named.
const CLI::App* innermost(const CLI::App& app) {
  for (const CLI::App* sub : app.get_subcommands({})) {
    if (sub->parsed()) return innermost(*sub);
  }
  return &app;
}

// "korvane-helperctl firewall" for `sub` = enable.
std::string parentPath(const CLI::App* sub) {
  std::string path;
  for (sub = sub->get_parent(); sub != nullptr; sub = sub->get_parent()) {
    path.insert(0, path.empty() ? sub->get_name() : sub->get_name() + " ");
  }
  return path;
}

std::string usageError(const CLI::App& app, const std::string& what) {
  const CLI::App* sub = innermost(app);
  const std::string parent = parentPath(sub);
  return what + "; see '" + (parent.empty() ? "" : parent + " ") + sub->get_name() + " --help'";
}

// The first word where a subcommand is expected that names none ("ps",
// "firewall bogus"), as a usage error; nullopt when there is none.
std::optional<std::string> unknownSubcommand(const CLI::App& app,
                                             const std::vector<std::string>& args) {
  const CLI::App* at = &app;
  auto word = args.begin();
  for (; word != args.end() && *word != "--"; ++word) {
    if (word->starts_with("-")) continue;
    const auto subs =
        at->get_subcommands([&](const CLI::App* s) { return s->get_name() == *word; });
    if (subs.empty()) break;
    at = subs.front();
  }
  const auto subs = at->get_subcommands([](const CLI::App*) { return true; });
  if (word == args.end() || *word == "--" || subs.empty()) return std::nullopt;
  std::string message = "unknown subcommand: " + *word + " (one of ";
  for (const CLI::App* sub : subs)
    message.append(sub == subs.front() ? "" : ", ").append(sub->get_name());
  message.append("); see '").append(at == &app ? kProgram : parentPath(at) + " " + at->get_name());
  return message + " --help'";
}

// Fills `cmd` from what was parsed; false with `*err` the usage error.
bool fillCommand(const CLI::App& app, Command& cmd, Texts& t, std::string* err) {
  const auto fail = [err](std::string why) {
    *err = std::move(why);
    return false;
  };
  const CLI::App* sub = innermost(app);
  const std::string name = sub->get_name();
  static const std::map<std::string, std::pair<Kind, ListingKind>> kKinds = {
      {"detailed-processes", {Kind::kListing, ListingKind::kDetailedProcesses}},
      {"process-data", {Kind::kListing, ListingKind::kProcessData}},
      {"system-processes", {Kind::kListing, ListingKind::kSystemProcesses}},
      {"terminate", {Kind::kTerminate, {}}},
      {"signal", {Kind::kSignal, {}}},
      {"uninstall", {Kind::kUninstall, {}}},
      {"enable", {Kind::kFirewallEnable, {}}},
      {"disable", {Kind::kFirewallDisable, {}}},
      {"status", {Kind::kFirewallStatus, {}}},
      {"top", {Kind::kTop, {}}}};
  std::tie(cmd.kind, cmd.listing) = kKinds.at(name);
  cmd.records = t.records;
  if (cmd.raw && cmd.json) return fail("--raw and --json exclude each other");
  if (cmd.records && cmd.kind != Kind::kListing) {
    const std::string parent = sub->get_parent()->get_parent() ? sub->get_parent()->get_name() : "";
    return fail("--records: " + (parent.empty() ? "" : parent + " ") + name + " has no records");
  }
  if (cmd.records && !cmd.json) return fail("--records needs --json");
  if (const auto* user = sub->get_option_no_throw("--user"); user && user->count() > 0) {
    cmd.user = t.user;
  }
  cmd.selection.reverse = t.sort.starts_with('-');
  if (cmd.selection.reverse) t.sort.erase(0, 1);
  if (!t.sort.empty() && cmd.kind == Kind::kListing) {
    cmd.selection.sortField = fieldIndex(cmd.listing, t.sort);
  }
  if (cmd.kind == Kind::kTop && !t.sort.empty()) {
    cmd.topSort = t.sort == "memory" ? TopSort::kMemory
                  : t.sort == "pid"  ? TopSort::kPid
                  : t.sort == "name" ? TopSort::kName
                                     : TopSort::kCpu;
  }
  if (cmd.frames > 0 && !cmd.batch) return fail("-n: frames are counted in batch mode only (-b)");
  cmd.text = name == "signal" ? t.signal : t.path;
  // The helper answers NO to anything else without saying why; said here, a
  // person learns what to type.
  if (cmd.kind == Kind::kSignal && !control::isSignalArgument(t.signal)) {
    return fail("unknown signal: " + t.signal + "; valid signals: " + signalList());
  }
  if (cmd.kind == Kind::kTerminate || cmd.kind == Kind::kSignal) {
    auto pid = common::parseDecimal<std::int64_t>(t.pid);
    if (!pid) return fail("PID must be a decimal integer: " + t.pid);
    cmd.pid = *pid;
  }
  std::vector<std::int64_t>* lists[] = {&cmd.inboundTCP, &cmd.outboundTCP, &cmd.inboundUDP,
                                        &cmd.outboundUDP};
  for (int i = 0; i < 4; ++i) {
    for (const auto& text : t.ports[i]) {
      auto ports = parsePortList(text);
      if (!ports) return fail("not a list of integers: " + text);
      for (const std::int64_t port : *ports) {
        if (port < 0 || port > 65535) {
          return fail(std::string(kPortOptions[i]) + ": " + std::to_string(port) +
                      " is not a port (0 to 65535)");
        }
      }
      lists[i]->insert(lists[i]->end(), ports->begin(), ports->end());
    }
  }
  return true;
}

}  // namespace

std::optional<UserId> findUser(const std::string& text, const std::string& passwdPath) {
  // Read as a file, not through NSS: the client is linked statically, where
  // glibc would load NSS modules into it with dlopen (and libnss_systemd
  // crashes there).
  const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(passwdPath.c_str(), "re"),
                                                   &std::fclose);
  std::optional<UserId> byUid;
  const auto uid = common::parseDecimal<std::int64_t>(text);
  // (uid_t)-1 is no one: setreuid and chown read it as "unchanged".
  if (uid && *uid >= 0 && *uid < 0xFFFFFFFF) byUid = UserId{*uid, ""};
  std::vector<char> buf(16384);
  passwd entry{};
  passwd* found = nullptr;
  while (file && ::fgetpwent_r(file.get(), &entry, buf.data(), buf.size(), &found) == 0) {
    if (text == found->pw_name) return UserId{found->pw_uid, found->pw_name};
    if (byUid && byUid->name.empty() && found->pw_uid == byUid->uid) byUid->name = found->pw_name;
  }
  return byUid;
}

std::optional<std::vector<std::int64_t>> parsePortList(const std::string& text) {
  std::vector<std::int64_t> ports;
  if (text.empty()) return ports;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    auto port = common::parseDecimal<std::int64_t>(text.substr(start, comma - start));
    if (!port) return std::nullopt;
    ports.push_back(*port);
    if (comma == std::string::npos) return ports;
    start = comma + 1;
  }
}

std::variant<Command, std::string> parseCommandLine(const std::vector<std::string>& args) {
  Command cmd;
  Texts texts;
  CLI::App app(
      "Talks to the Korvane helper, the root daemon that lists every process,\n"
      "signals processes, removes applications and drives the firewall.",
      kProgram);
  buildApp(app, cmd, texts);
  std::vector<std::string> reversed = protectValues(args);
  if (auto unknown = unknownSubcommand(app, reversed)) return *unknown;
  std::reverse(reversed.begin(), reversed.end());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    cmd.kind = Kind::kHelp;
    cmd.text = innermost(app)->help(parentPath(innermost(app)));
    return cmd;
  } catch (const CLI::CallForVersion& e) {
    cmd.kind = Kind::kHelp;
    cmd.text = std::string(e.what()) + "\n";
    return cmd;
  } catch (const CLI::ParseError& e) {
    if (args.empty()) return "a subcommand is needed\n\n" + app.help();
    return usageError(app, e.what());
  }
  std::string error;
  if (!fillCommand(app, cmd, texts, &error)) return usageError(app, error);
  return cmd;
}

std::string jsonString(const std::string& text) {
  const std::string valid = common::decodeUtf8Lossy(text);
  std::string out = "\"";
  for (unsigned char c : valid) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
  return escapeJsonControls(out);
}

Form outputForm(const Command& cmd, int fd) {
  if (cmd.json || cmd.records) return Form::kJson;
  return ::isatty(fd) ? Form::kTerminal : Form::kExact;
}

std::string formatListing(const Listing& list, Form form) {
  std::string out;
  if (form != Form::kJson) {
    for (const auto& e : list) {
      out.append(form == Form::kTerminal ? terminalText(e) : e).push_back('\n');
    }
    return out;
  }
  out = "[";
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out += ",";
    out += jsonString(list[i]);
  }
  return out + "]\n";
}

std::string formatSelectedListing(const Command& cmd, const Listing& list, Form form, int width,
                                  const std::map<std::int64_t, std::int64_t>& uids) {
  const bool table = form == Form::kTerminal && !cmd.raw;
  if (!cmd.selection.user && !cmd.selection.sortField && !table && !cmd.records) {
    return formatListing(list, form);
  }
  std::vector<Record> records;
  Listing selected;  // what is no record, as the ps listing's header line, stays first
  for (const auto& element : list) {
    if (auto r = parseRecord(cmd.listing, element)) {
      records.push_back(std::move(*r));
    } else {
      selected.push_back(element);
    }
  }
  records = selectRecords(cmd.listing, std::move(records), cmd.selection, uids);
  if (table) return formatTable(cmd.listing, records, width);
  if (cmd.records) return formatJsonRecords(cmd.listing, records);
  for (auto& r : records) selected.push_back(std::move(r.raw));
  return formatListing(selected, form);
}

std::string formatFlag(bool success, Form form) {
  if (form == Form::kJson) return success ? "true\n" : "false\n";
  return success ? "YES\n" : "NO\n";
}

std::string formatFlagMessage(const FlagMessage& result, Form form) {
  if (form == Form::kJson) {
    return std::string("{\"success\": ") + (result.success ? "true" : "false") +
           ", \"message\": " + (result.message ? jsonString(*result.message) : "null") + "}\n";
  }
  std::string out = formatFlag(result.success, form);
  if (result.message) {
    out.append(form == Form::kTerminal ? terminalText(*result.message) : *result.message)
        .push_back('\n');
  }
  return out;
}

std::string formatFirewallStatus(const std::array<firewall::PortList, 4>& lists, Form form) {
  std::string out = form == Form::kJson ? "{" : "";
  for (std::size_t i = 0; i < lists.size(); ++i) {
    std::string ports;
    for (const auto& port : lists[i].decimals) ports += (ports.empty() ? "" : ", ") + port;
    const std::string_view option = std::string_view(kPortOptions[i]).substr(2);
    if (form == Form::kJson) {
      out.append(i ? ", \"" : "\"").append(option).append("\": [" + ports + "]");
    } else if (!ports.empty()) {
      const std::size_t dash = option.find('-');
      char line[64];
      std::snprintf(line, sizeof line, "%-9.*s %-8.*s ", static_cast<int>(dash), option.data(),
                    static_cast<int>(option.size() - dash - 1), option.data() + dash + 1);
      out += (out.empty() ? "DIRECTION PROTOCOL PORTS\n" : "") + std::string(line) + ports + "\n";
    }
  }
  if (form == Form::kJson) return out + "}\n";
  return out.empty() ? "nothing blocked\n" : out;
}

std::string connectAdvice(ConnectFailure failure, const std::string& error) {
  switch (failure) {
    case ConnectFailure::kNoHelper:
      return "the helper is not running (" + error +
             "); start it: systemctl start com.korvane.helper.socket";
    case ConnectFailure::kPermissionDenied:
      return "only root and members of korvane-helper may use the helper; ask an administrator "
             "to add you to that group (" +
             error + ")";
    case ConnectFailure::kNotAdmitted:
      return error + "; run the signed korvane-helperctl installed with the helper";
    case ConnectFailure::kBusy:
      return "the helper is busy; try again in a moment";
    case ConnectFailure::kUntrustedSocket:
      return error + "; ask an administrator to check what holds the socket";
    case ConnectFailure::kOther:
      break;
  }
  return error;
}

int callFailureStatus(CallFailure failure) {
  return failure == CallFailure::kNotAuthorized ? kExitNoPermission : kExitUnavailable;
}

std::string callAdvice(CallFailure failure, const std::string& error) {
  if (failure == CallFailure::kNotAuthorized) {
    return "not authorized to list processes (ask an administrator, or see korvane-helperctl(1))";
  }
  return error;
}

}  // namespace korvane
