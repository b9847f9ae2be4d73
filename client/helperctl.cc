#include "client/helperctl.h"

#include <charconv>
#include <cstdio>

#include "common/utf8.h"

namespace client {
namespace {

using Kind = Command::Kind;

std::optional<std::int64_t> parseInt64(const std::string& s) {
  std::int64_t v = 0;
  auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc() || p != s.data() + s.size()) return std::nullopt;
  return v;
}

}  // namespace

std::string usageText() {
  return "usage: korvane-helperctl [--json] SUBCOMMAND [ARGS]\n"
         "\n"
         "  system-processes              the process table as /bin/ps prints it\n"
         "  detailed-processes            PID|user|resident|virtual|threads|path|name per process\n"
         "  process-data                  PID|uid|resident|threads|cpu-ns|name per process\n"
         "  terminate PID                 kill PID with SIGKILL\n"
         "  signal SIGNAL PID             run /bin/kill SIGNAL PID (e.g. signal -STOP 42)\n"
         "  uninstall PATH                remove an application from disk\n"
         "  firewall enable [--inbound-tcp P,P] [--outbound-tcp P,P]\n"
         "                  [--inbound-udp P,P] [--outbound-udp P,P]\n"
         "  firewall disable\n"
         "\n"
         "Prints one listing element per line, or YES/NO and the message; with --json,\n"
         "the reply as JSON. Exit status: 0 listing or success, 1 NO, 2 usage or\n"
         "connection error.\n";
}

std::optional<common::Array> parsePortList(const std::string& text) {
  common::Array ports;
  if (text.empty()) return ports;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    auto port = parseInt64(text.substr(start, comma - start));
    if (!port) return std::nullopt;
    ports.emplace_back(*port);
    if (comma == std::string::npos) return ports;
    start = comma + 1;
  }
}

std::variant<Command, std::string> parseCommandLine(const std::vector<std::string>& args) {
  Command cmd;
  std::size_t i = 0;
  // Values are taken in order as the subcommand asks for them.
  auto takeValue = [&]() -> std::optional<std::string> {
    if (i >= args.size()) return std::nullopt;
    return args[i++];
  };
  auto next = [&]() -> std::optional<std::string> {
    while (i < args.size()) {
      const std::string& a = args[i++];
      if (a == "--json") {
        cmd.json = true;
        continue;
      }
      return a;
    }
    return std::nullopt;
  };

  auto sub = next();
  if (!sub) return std::string("missing subcommand");
  if (*sub == "--help" || *sub == "-h" || *sub == "help") return cmd;
  auto missing = [&](const std::string& what) { return *sub + ": missing " + what; };
  auto pidValue = [&]() -> std::variant<std::int64_t, std::string> {
    auto text = takeValue();
    if (!text) return missing("PID");
    auto pid = parseInt64(*text);
    if (!pid) return *sub + ": PID must be a decimal integer: " + *text;
    return *pid;
  };

  if (*sub == "system-processes") {
    cmd.kind = Kind::kSystemProcesses;
  } else if (*sub == "detailed-processes") {
    cmd.kind = Kind::kDetailedProcesses;
  } else if (*sub == "process-data") {
    cmd.kind = Kind::kProcessData;
  } else if (*sub == "terminate") {
    cmd.kind = Kind::kTerminate;
    auto pid = pidValue();
    if (auto* e = std::get_if<std::string>(&pid)) return *e;
    cmd.pid = std::get<std::int64_t>(pid);
  } else if (*sub == "signal") {
    cmd.kind = Kind::kSignal;
    auto signal = takeValue();
    if (!signal) return missing("SIGNAL");
    cmd.text = *signal;
    auto pid = pidValue();
    if (auto* e = std::get_if<std::string>(&pid)) return *e;
    cmd.pid = std::get<std::int64_t>(pid);
  } else if (*sub == "uninstall") {
    cmd.kind = Kind::kUninstall;
    auto path = takeValue();
    if (!path) return missing("PATH");
    cmd.text = *path;
  } else if (*sub == "firewall") {
    auto action = next();
    if (action == "disable") {
      cmd.kind = Kind::kFirewallDisable;
    } else if (action == "enable") {
      cmd.kind = Kind::kFirewallEnable;
      while (auto option = next()) {
        std::string name = *option, value;
        bool inlineValue = false;
        if (auto eq = name.find('='); eq != std::string::npos && name.starts_with("--")) {
          value = name.substr(eq + 1);
          name.resize(eq);
          inlineValue = true;
        }
        common::Array* list = name == "--inbound-tcp"    ? &cmd.inboundTCP
                              : name == "--outbound-tcp" ? &cmd.outboundTCP
                              : name == "--inbound-udp"  ? &cmd.inboundUDP
                              : name == "--outbound-udp" ? &cmd.outboundUDP
                                                         : nullptr;
        if (list == nullptr) return "firewall enable: unknown option " + name;
        if (!inlineValue) {
          auto v = takeValue();
          if (!v) return "firewall enable: " + name + " needs a port list";
          value = *v;
        }
        auto ports = parsePortList(value);
        if (!ports) {
          std::string message = "firewall enable: " + name;
          return message.append(": not a list of integers: ").append(value);
        }
        list->insert(list->end(), ports->begin(), ports->end());
      }
      return cmd;
    } else {
      return "firewall: expected enable or disable";
    }
  } else {
    return "unknown subcommand: " + *sub;
  }
  if (auto extra = next()) return *sub + ": unexpected argument: " + *extra;
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
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string formatListing(const common::Listing& list, bool json) {
  std::string out;
  if (!json) {
    for (const auto& e : list) out.append(e).push_back('\n');
    return out;
  }
  out = "[";
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out += ",";
    out += jsonString(list[i]);
  }
  return out + "]\n";
}

std::string formatFlag(bool success, bool json) {
  if (json) return success ? "true\n" : "false\n";
  return success ? "YES\n" : "NO\n";
}

std::string formatFlagMessage(const common::FlagMessage& result, bool json) {
  if (json) {
    return std::string("{\"success\": ") + (result.success ? "true" : "false") +
           ", \"message\": " + (result.message ? jsonString(*result.message) : "null") + "}\n";
  }
  std::string out = result.success ? "YES\n" : "NO\n";
  if (result.message) out.append(*result.message).push_back('\n');
  return out;
}

}  // namespace client
