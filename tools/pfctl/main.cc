// korvane-pfctl: a stand-in for pf's control tool on Linux, where pf does not
// exist. It understands the invocations and rule lines the firewall uses and
// applies them with nftables, one inet table per anchor, so the daemon can run
// "/sbin/pfctl" exactly as it does on macOS. Exit status 0 on success, 1 on
// any failure (with a pfctl-like message on standard error), as pfctl.
#include <signal.h>
#include <stdio.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/fd_io.h"
#include "tools/pfctl/nft.h"
#include "tools/pfctl/pf_rules.h"

namespace {

constexpr const char* kNotLoaded = "pfctl: Syntax error in config file: pf rules not loaded";

void say(const std::string& line) { ::fprintf(stderr, "%s\n", line.c_str()); }

int applyScript(const std::string& script) {
  std::string err;
  if (pfctl::runNftScript(pfctl::nftPath(), script, &err)) return 0;
  if (!err.empty()) say("pfctl: " + err);
  say("pfctl: nftables refused the rules: pf rules not loaded");
  return 1;
}

bool checkAnchorName(const std::string& anchor) {
  if (pfctl::isValidAnchorName(anchor)) return true;
  say("pfctl: invalid anchor name \"" + anchor +
      "\": this pfctl takes a letter followed by letters, digits, '.', '_' or '-'");
  return false;
}

// Adds the script that loads `file` into `anchor` to `script`; false (having
// reported why) when the file cannot be read or holds anything but rules.
bool addAnchorLoad(const std::string& anchor, const std::string& file, const std::string& where,
                   std::string& script) {
  std::string text, err;
  std::vector<pfctl::Rule> rules;
  if (!platform::readWholeFile(file, &text, &err)) {
    say(where + err);
    return false;
  }
  if (!pfctl::parseRules(text, file, &rules, &err)) {
    say(err);  // its lines name the file and line
    return false;
  }
  script += pfctl::nftReplaceTableScript(anchor, rules);
  return true;
}

int loadAnchor(const std::string& anchor, const std::string& file) {
  if (!checkAnchorName(anchor)) return 1;
  std::string script;
  if (!addAnchorLoad(anchor, file, "pfctl: ", script)) {
    say(kNotLoaded);
    return 1;
  }
  return applyScript(script);
}

// Loads every anchor named by a `load anchor` line, all in one transaction:
// either all of them change or none does.
int reloadConfig(const std::string& config) {
  std::string text, err;
  if (!platform::readWholeFile(config, &text, &err)) {
    say("pfctl: " + err);
    return 1;
  }
  std::vector<pfctl::AnchorLoad> loads;
  const bool ok = pfctl::parseAnchorLoads(text, config, &loads, &err);
  if (!ok) say(err);
  std::string script;
  bool allLoaded = true;
  for (const pfctl::AnchorLoad& load : loads) {
    const std::string where = config + ":" + std::to_string(load.line) + ": ";
    if (!pfctl::isValidAnchorName(load.anchor)) {
      say(where + "invalid anchor name \"" + load.anchor + "\"");
      allLoaded = false;
    } else if (!addAnchorLoad(load.anchor, load.file, where, script)) {
      allLoaded = false;
    }
  }
  if (!ok || !allLoaded) {
    say(kNotLoaded);
    return 1;
  }
  return script.empty() ? 0 : applyScript(script);
}

int flushAnchor(const std::string& anchor) {
  if (!checkAnchorName(anchor)) return 1;
  if (applyScript(pfctl::nftReplaceTableScript(anchor, {})) != 0) return 1;
  say("rules cleared");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // A write to an nft that quit early must not kill us: its status says why.
  ::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  std::optional<pfctl::Command> command = pfctl::parseCommand(arguments);
  if (!command) {
    std::string given;
    for (const std::string& a : arguments) given += " " + a;
    say("pfctl: unsupported invocation:" + (given.empty() ? std::string(" (none)") : given));
    say("usage: pfctl -a anchor -F all | -a anchor -f file | -f file | -E");
    return 1;
  }
  switch (command->kind) {
    case pfctl::Command::Kind::kEnable:
      say("pf enabled");
      return 0;
    case pfctl::Command::Kind::kFlushAnchor:
      return flushAnchor(command->anchor);
    case pfctl::Command::Kind::kLoadAnchor:
      return loadAnchor(command->anchor, command->file);
    case pfctl::Command::Kind::kReloadConfig:
      return reloadConfig(command->file);
  }
  return 1;
}
