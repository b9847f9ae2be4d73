// The daemon's entry: builds the machine-facing services, puts the listener
// for "com.korvane.helper" in place and hands the main thread to the run loop
// for the life of the process.

#include <cstdio>
#include <string>

#include "control/posix_command_runner.h"
#include "control/process_signals.h"
#include "firewall/firewall.h"
#include "interface/helper_implementation.h"
#include "platform/codesign/build_trust_anchor.h"
#include "platform/codesign/security.h"
#include "platform/xpc.h"
#include "processes/process_source.h"
#include "processes/system_processes.h"
#include "service/helper_delegate.h"

namespace {

// Process-wide, held until the process ends.
service::HelperDelegate* delegate = nullptr;
platform::xpc::Listener* listener = nullptr;

}  // namespace

int main() {
  static processes::SystemProcessSource processSource;
  static control::PosixCommandRunner runner;
  static control::PosixProcessSignaller signaller;
  static firewall::Firewall firewall(runner);
  const interface::HelperServices services {
    processSource, runner, signaller, firewall, [] { return processes::fetchSystemProcesses(); }
  };

  // The anchor is compiled in; one that does not parse is a broken build,
  // and a daemon that could admit no one must not pretend to serve.
  auto anchor = platform::security::TrustAnchor::fromPem(platform::security::buildTrustAnchorPem());
  if (!anchor) {
    std::fprintf(stderr, "com.korvane.helper: the compiled-in trust anchor does not parse\n");
    return 1;
  }
  static const platform::security::LinuxCodeSigningServices codeSigning(std::move(*anchor));

  delegate = new service::HelperDelegate(services, codeSigning);
  std::string error;
  listener =
      platform::xpc::Listener::initWithMachServiceName("com.korvane.helper", &error).release();
  if (listener == nullptr) {
    std::fprintf(stderr, "com.korvane.helper: cannot listen: %s\n", error.c_str());
    return 1;
  }
  listener->setDelegate(delegate);
  listener->resume();
  platform::xpc::runMainRunLoop();
  return 0;
}
