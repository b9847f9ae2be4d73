// korvane-helperctl: the command-line client of the helper daemon.

#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "client/auth_agent.h"
#include "client/helper_client.h"
#include "client/helperctl.h"
#include "client/top_terminal.h"

namespace {

using client::Command;
using client::kExitUnavailable;
using client::ListingKind;
using Kind = Command::Kind;

constexpr int kExitOutput = 74;  // the output could not be written

int fail(const std::string& message, int status) {
  std::fprintf(stderr, "korvane-helperctl: %s\n", message.c_str());
  return status;
}

// A call to the helper failed: a refused listing is told apart from an
// unavailable helper.
int callFailed(const client::HelperClient& helper, const std::string& error) {
  return fail(client::callAdvice(helper.lastFailure(), error),
              client::callFailureStatus(helper.lastFailure()));
}

void print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// `status`, unless some of the output could not be written: a write that
// failed while stdio flushed a full buffer leaves only the error flag behind,
// and the final flush then succeeds.
int finish(int status) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    return fail("cannot write the output", kExitOutput);
  }
  return status;
}

int terminalWidth() {
  winsize size{};
  return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

// For --user with a name on process data, whose records carry only uids:
// the user of each pid as the detailed listing names it.
std::map<std::int64_t, std::string> userNames(client::HelperClient& helper, const Command& cmd,
                                              std::string* error, bool* ok) {
  std::map<std::int64_t, std::string> names;
  if (cmd.listing != ListingKind::kProcessData || !cmd.selection.user) return names;
  auto detailed = helper.fetchDetailedProcesses(error);
  *ok = detailed.has_value();
  for (const auto& element : detailed.value_or(client::Listing{})) {
    if (auto r = client::parseRecord(ListingKind::kDetailedProcesses, element)) {
      names[std::get<std::int64_t>(r->fields[0])] = std::get<std::string>(r->fields[1]);
    }
  }
  return names;
}

int listing(client::HelperClient& helper, const Command& cmd) {
  std::string error;
  auto list = cmd.listing == ListingKind::kSystemProcesses ? helper.fetchSystemProcesses(&error)
              : cmd.listing == ListingKind::kDetailedProcesses
                  ? helper.fetchDetailedProcesses(&error)
                  : helper.fetchAllProcessData(&error);
  if (!list) return callFailed(helper, error);
  const bool selecting = cmd.selection.user || cmd.selection.sortField;
  const client::Form form = client::outputForm(cmd, STDOUT_FILENO);
  const bool table = form == client::Form::kTerminal && !cmd.raw;
  if (!selecting && !table && !cmd.records) {
    print(client::formatListing(*list, form));
    return 0;
  }
  bool ok = true;
  const auto names = userNames(helper, cmd, &error, &ok);
  if (!ok) return callFailed(helper, error);
  std::vector<client::Record> records;
  for (const auto& element : *list) {
    if (auto r = client::parseRecord(cmd.listing, element)) records.push_back(std::move(*r));
  }
  records = client::selectRecords(cmd.listing, std::move(records), cmd.selection, names);
  if (table) {
    print(client::formatTable(cmd.listing, records, terminalWidth()));
  } else if (cmd.records) {
    print(client::formatJsonRecords(cmd.listing, records));
  } else {
    client::Listing selected;
    for (auto& r : records) selected.push_back(std::move(r.raw));
    print(client::formatListing(selected, form));
  }
  return 0;
}

int perform(client::HelperClient& helper, const Command& cmd, bool agentRunning) {
  std::string error;
  const client::Form form = client::outputForm(cmd, STDOUT_FILENO);
  auto flag = [&](std::optional<bool> success) {
    if (!success) return callFailed(helper, error);
    print(client::formatFlag(*success, form));
    return *success ? 0 : client::kExitNo;
  };
  auto flagMessage = [&](std::optional<client::FlagMessage> result) {
    if (!result) return callFailed(helper, error);
    print(client::formatFlagMessage(*result, form));
    return result->success ? 0 : client::kExitNo;
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
      const int status = client::runTop(helper, cmd.topSort, cmd.interval, agentRunning, &error);
      return error.empty() ? status : fail(error, status);
    }
    case Kind::kHelp:
      break;
  }
  return client::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  // Another process of the same user must not attach to the admitted client
  // (ptrace, /proc/<pid>/mem, pidfd_getfd) and speak through its connection.
  ::prctl(PR_SET_DUMPABLE, 0);
  auto parsed = client::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (auto* usage = std::get_if<std::string>(&parsed)) return fail(*usage, client::kExitUsage);
  const Command& cmd = std::get<Command>(parsed);
  if (cmd.kind == Kind::kHelp) {
    print(cmd.text);
    return finish(0);
  }
  // The helper asks polkit about every request of a caller that is neither
  // root nor in korvane-helper; the agent must be registered before the
  // request, and lives until its reply has been printed.
  client::AuthAgent agent;
  if (client::mayNeedAuthentication()) agent = client::AuthAgent::startForThisProcess();
  std::string error;
  client::ConnectFailure failure;
  auto helper = client::HelperClient::connect(client::defaultSocketPath(), &failure, &error);
  if (!helper) return fail(client::connectAdvice(failure, error), kExitUnavailable);
  return finish(perform(*helper, cmd, agent.running()));
}
