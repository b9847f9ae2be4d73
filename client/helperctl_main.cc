// korvane-helperctl: the command-line client of the helper daemon.

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "client/auth_agent.h"
#include "client/helper_client.h"
#include "client/helperctl.h"
#include "client/top_terminal.h"
#include "firewall/firewall_rules.h"
#include "platform/error_text.h"
#include "platform/fd_io.h"

namespace {

using korvane::Command;
using korvane::kExitUnavailable;
using korvane::ListingKind;
using Kind = Command::Kind;

int fail(const std::string& message, int status) {
  std::fprintf(stderr, "korvane-helperctl: %s\n", message.c_str());
  return status;
}

// A call to the helper failed: a refused listing is told apart from an
// unavailable helper.
int callFailed(const korvane::HelperClient& helper, const std::string& error) {
  return fail(korvane::callAdvice(helper.lastFailure(), error),
              korvane::callFailureStatus(helper.lastFailure()));
}

// The errno of the first write to standard output that failed. A write that
// fails while stdio flushes a full buffer leaves only the error flag behind,
// and the final flush then succeeds: the reason is kept when it happens.
int gOutputError = 0;

void print(const std::string& text) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() && gOutputError == 0) {
    gOutputError = errno;
  }
}

// `status`, unless some of the output could not be written.
int finish(int status) {
  errno = 0;
  if (std::fflush(stdout) != 0 && gOutputError == 0) gOutputError = errno;
  if (gOutputError != 0 || std::ferror(stdout)) {
    return fail("cannot write the output" +
                    (gOutputError != 0 ? ": " + platform::errorText(gOutputError) : ""),
                korvane::kExitOutput);
  }
  return status;
}

int terminalWidth() {
  winsize size{};
  return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

int listing(korvane::HelperClient& helper, const Command& cmd) {
  std::string error;
  auto list = cmd.listing == ListingKind::kSystemProcesses ? helper.fetchSystemProcesses(&error)
              : cmd.listing == ListingKind::kDetailedProcesses
                  ? helper.fetchDetailedProcesses(&error)
                  : helper.fetchAllProcessData(&error);
  if (!list) return callFailed(helper, error);
  // A user whose name ps shows cut is told apart from others by the uids of
  // process data, whose pids the ps listing shares.
  std::map<std::int64_t, std::int64_t> uids;
  if (korvane::needsUids(cmd.listing, cmd.selection)) {
    auto data = helper.fetchAllProcessData(&error);
    if (!data) return callFailed(helper, error);
    for (const auto& element : *data) {
      if (auto r = korvane::parseRecord(ListingKind::kProcessData, element)) {
        uids[std::get<std::int64_t>(r->fields[0])] = std::get<std::int64_t>(r->fields[1]);
      }
    }
  }
  print(korvane::formatSelectedListing(cmd, *list, korvane::outputForm(cmd, STDOUT_FILENO),
                                       terminalWidth(), uids));
  return 0;
}

// Reads the anchor file, which everyone may read: the lists the last enable
// wrote. A disable flushes what pf loaded and leaves the file.
int firewallStatus(const Command& cmd) {
  const std::string path =
      std::string(firewall::kAnchorFolder) + "/" + std::string(firewall::kAnchorName);
  std::string rules, error;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
    rules.clear();
  } else if (!platform::readWholeFile(path, &rules, &error)) {
    return fail(error, kExitUnavailable);
  }
  const auto lists = firewall::parseFirewallRules(rules);
  if (!lists) return fail(path + " holds rules this client does not know", kExitUnavailable);
  print(korvane::formatFirewallStatus(*lists, korvane::outputForm(cmd, STDOUT_FILENO)));
  return 0;
}

// Why the helper answered NO to a signal for `pid`, where this side can
// tell; the helper's record says it in every case.
std::optional<std::string> refusalReason(std::int64_t pid) {
  if (pid <= 0) return "the helper signals single processes: PID must be above 0";
  if (pid > std::numeric_limits<pid_t>::max() ||
      (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) {
    return "no such process: " + std::to_string(pid);
  }
  return std::nullopt;
}

int perform(korvane::HelperClient& helper, const Command& cmd, bool agentRunning) {
  std::string error;
  const korvane::Form form = korvane::outputForm(cmd, STDOUT_FILENO);
  auto flag = [&](std::optional<bool> success) {
    if (!success) return callFailed(helper, error);
    print(korvane::formatFlag(*success, form));
    if (*success) return 0;
    if (auto why = refusalReason(cmd.pid)) fail(*why, korvane::kExitNo);
    return korvane::kExitNo;
  };
  auto flagMessage = [&](std::optional<korvane::FlagMessage> result) {
    if (!result) return callFailed(helper, error);
    print(korvane::formatFlagMessage(*result, form));
    return result->success ? 0 : korvane::kExitNo;
  };
  switch (cmd.kind) {
    case Kind::kListing:
      return listing(helper, cmd);
    case Kind::kTerminate:
      return flag(helper.terminateProcess(cmd.pid, &error));
    case Kind::kSignal:
      return flag(helper.sendSignal(cmd.pid, cmd.text, &error));
    case Kind::kUninstall:
      return flagMessage(helper.uninstallApp(cmd.text, &error));
    case Kind::kFirewallEnable:
      return flagMessage(helper.applyFirewall(true, cmd.inboundTCP, cmd.outboundTCP, cmd.inboundUDP,
                                              cmd.outboundUDP, &error));
    case Kind::kFirewallDisable:
      return flagMessage(helper.applyFirewall(false, {}, {}, {}, {}, &error));
    case Kind::kTop: {
      korvane::TopOptions options{cmd.topSort, cmd.selection.reverse, cmd.interval, {}, cmd.batch,
                                  cmd.frames};
      options.filter.name = cmd.topName;
      if (const auto& user = cmd.selection.user) {
        options.filter.user = user->name.empty() ? std::to_string(user->uid) : user->name;
      }
      const int status = korvane::runTop(helper, options, agentRunning, &error);
      return error.empty() ? status : fail(error, status);
    }
    case Kind::kFirewallStatus:
    case Kind::kHelp:
      break;
  }
  return korvane::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  // Another process of the same user must not attach to the admitted client
  // (ptrace, /proc/<pid>/mem, pidfd_getfd) and speak through its connection.
  ::prctl(PR_SET_DUMPABLE, 0);
  auto parsed = korvane::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (auto* usage = std::get_if<std::string>(&parsed)) return fail(*usage, korvane::kExitUsage);
  Command& cmd = std::get<Command>(parsed);
  if (cmd.kind == Kind::kHelp) {
    print(cmd.text);
    return finish(0);
  }
  if (cmd.kind == Kind::kFirewallStatus) return finish(firewallStatus(cmd));
  if (cmd.user) {
    cmd.selection.user = korvane::findUser(*cmd.user);
    if (!cmd.selection.user) return fail("no such user: " + *cmd.user, korvane::kExitUsage);
  }
  // The helper asks polkit about every request of a caller that is neither
  // root nor in korvane-helper; the agent must be registered before the
  // request, and lives until its reply has been printed.
  korvane::AuthAgent agent;
  if (korvane::mayNeedAuthentication()) agent = korvane::AuthAgent::startForThisProcess();
  std::string error;
  korvane::ConnectFailure failure;
  auto helper = korvane::HelperClient::connect(korvane::defaultSocketPath(), &failure, &error);
  if (!helper) return fail(korvane::connectAdvice(failure, error), kExitUnavailable);
  return finish(perform(*helper, cmd, agent.running()));
}
