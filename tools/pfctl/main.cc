// korvane-pfctl: a stand-in for pf's control tool on Linux, where pf does not
// exist. It understands the invocations and rule lines the firewall uses and
// applies them with nftables, one inet table per anchor, so the daemon can run
// "/sbin/pfctl" exactly as it does on macOS. Exit status 0 on success, 1 on
// any failure (with a pfctl-like message on standard error), as pfctl.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/error_text.h"
#include "platform/unique_fd.h"
#include "tools/pfctl/nft.h"
#include "tools/pfctl/pf_rules.h"

namespace {

constexpr const char* kNotLoaded = "pfctl: Syntax error in config file: pf rules not loaded";

void say(const std::string& line) { ::fprintf(stderr, "%s\n", line.c_str()); }

std::optional<std::string> readWholeFile(const std::string& path, std::string& error) {
  int raw;
  do {
    raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (raw < 0 && errno == EINTR);
  if (raw < 0) {
    error = platform::errorText(errno);
    return std::nullopt;
  }
  platform::UniqueFd fd(raw);
  std::string text;
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = platform::errorText(errno);
      return std::nullopt;
    }
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

int applyScript(const std::string& script) {
  std::string error;
  if (pfctl::runNftScript(pfctl::nftPath(), script, error)) return 0;
  if (!error.empty()) say("pfctl: " + error);
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
  std::string error;
  std::optional<std::string> text = readWholeFile(file, error);
  if (!text) {
    say(where + "cannot load \"" + file + "\": " + error);
    return false;
  }
  pfctl::RulesParse parsed = pfctl::parseRules(*text, file);
  for (const std::string& line : parsed.errors) say(line);
  if (!parsed.errors.empty()) return false;
  script += pfctl::nftReplaceTableScript(anchor, parsed.rules);
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
  std::string error;
  std::optional<std::string> text = readWholeFile(config, error);
  if (!text) {
    say("pfctl: cannot open the main config file!: " + error);
    return 1;
  }
  pfctl::AnchorLoadsParse parsed = pfctl::parseAnchorLoads(*text, config);
  bool ok = parsed.errors.empty();
  for (const std::string& line : parsed.errors) say(line);
  std::string script;
  for (const pfctl::AnchorLoad& load : parsed.loads) {
    const std::string where = config + ":" + std::to_string(load.line) + ": ";
    if (!pfctl::isValidAnchorName(load.anchor)) {
      say(where + "invalid anchor name \"" + load.anchor + "\"");
      ok = false;
    } else if (!addAnchorLoad(load.anchor, load.file, where, script)) {
      ok = false;
    }
  }
  if (!ok) {
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
