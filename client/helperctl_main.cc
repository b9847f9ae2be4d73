// korvane-helperctl: the command-line client of the helper daemon.

#include <sys/prctl.h>

#include <cstdio>
#include <string>
#include <vector>

#include "client/helper_client.h"
#include "client/helperctl.h"

namespace {

constexpr int kExitNo = 1;
constexpr int kExitUsage = 2;

int fail(const std::string& message) {
  std::fprintf(stderr, "korvane-helperctl: %s\n", message.c_str());
  return kExitUsage;
}

void print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

}  // namespace

int main(int argc, char** argv) {
  // Another process of the same user must not attach to the admitted client
  // (ptrace, /proc/<pid>/mem, pidfd_getfd) and speak through its connection.
  ::prctl(PR_SET_DUMPABLE, 0);
  using Kind = client::Command::Kind;
  auto parsed = client::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (auto* usage = std::get_if<std::string>(&parsed)) {
    std::fprintf(stderr, "korvane-helperctl: %s\n\n%s", usage->c_str(),
                 client::usageText().c_str());
    return kExitUsage;
  }
  const client::Command& cmd = std::get<client::Command>(parsed);
  if (cmd.kind == Kind::kHelp) {
    print(client::usageText());
    return 0;
  }

  std::string error;
  auto helper = client::HelperClient::connect(client::defaultSocketPath(), &error);
  if (!helper) return fail(error);

  auto listing = [&](std::optional<common::Listing> list) {
    if (!list) return fail(error);
    print(client::formatListing(*list, cmd.json));
    return 0;
  };
  auto flag = [&](std::optional<bool> success) {
    if (!success) return fail(error);
    print(client::formatFlag(*success, cmd.json));
    return *success ? 0 : kExitNo;
  };
  auto flagMessage = [&](std::optional<common::FlagMessage> result) {
    if (!result) return fail(error);
    print(client::formatFlagMessage(*result, cmd.json));
    return result->success ? 0 : kExitNo;
  };

  int status = kExitUsage;
  switch (cmd.kind) {
    case Kind::kHelp:
      break;
    case Kind::kSystemProcesses:
      status = listing(helper->fetchSystemProcesses(&error));
      break;
    case Kind::kDetailedProcesses:
      status = listing(helper->fetchDetailedProcesses(&error));
      break;
    case Kind::kProcessData:
      status = listing(helper->fetchAllProcessData(&error));
      break;
    case Kind::kTerminate:
      status = flag(helper->terminateProcess(cmd.pid, &error));
      break;
    case Kind::kSignal:
      status = flag(helper->sendSignal(cmd.pid, cmd.text, &error));
      break;
    case Kind::kUninstall:
      status = flagMessage(helper->uninstallApp(cmd.text, &error));
      break;
    case Kind::kFirewallEnable:
      status = flagMessage(helper->applyFirewall(true, cmd.inboundTCP, cmd.outboundTCP,
                                                 cmd.inboundUDP, cmd.outboundUDP, &error));
      break;
    case Kind::kFirewallDisable:
      status = flagMessage(helper->applyFirewall(false, {}, {}, {}, {}, &error));
      break;
  }
  if (std::fflush(stdout) != 0) return fail("cannot write the output");
  return status;
}
