// The daemon's entry: builds the machine-facing services, puts the listener
// for "com.korvane.helper" in place and hands the main thread to the run loop
// for the life of the process.

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "authorization/audit_record.h"
#include "codesign/build_trust_anchor.h"
#include "codesign/security.h"
#include "control/app_removal.h"
#include "control/posix_command_runner.h"
#include "control/process_signals.h"
#include "firewall/firewall.h"
#include "interface/helper_implementation.h"
#include "platform/groups.h"
#include "processes/process_source.h"
#include "processes/system_processes.h"
#include "service/helper_delegate.h"
#include "transport/xpc.h"

namespace {

constexpr char kServiceName[] = "com.korvane.helper";

// Root and the members of this group may connect to the socket. Membership
// is root-equivalent for what the helper does (kill, remove, firewall).
constexpr const char* kHelperGroup = "korvane-helper";

// How long requests at work may take to finish once a stop signal came:
// below systemd's default stop timeout of 90 s, and long enough for a tool
// run at its deadline.
constexpr std::chrono::seconds kStopGrace{20};

// The soft open-file limit the daemon raises itself to (within the hard one).
constexpr rlim_t kOpenFileLimit = 65536;

// Descriptors 0 to 2 must be taken before anything else is opened: a daemon
// started with them closed would otherwise hand its socket out as "standard
// error" to its own notes and to every tool it runs.
void occupyStandardDescriptors() {
  for (;;) {
    int fd = ::open("/dev/null", O_RDWR);
    if (fd < 0) return;
    if (fd > STDERR_FILENO) {
      ::close(fd);
      return;
    }
  }
}

// What the process must settle before its first thread exists.
void prepareProcess() {
  // Every thread inherits the mask, so the stop signals reach only the run
  // loop's wait.
  transport::blockStopSignals();
  occupyStandardDescriptors();
  // A diagnostic written to a closed pipe must fail, not end the daemon.
  // Tools the daemon runs get the default disposition back at spawn.
  ::signal(SIGPIPE, SIG_IGN);
  // Each connection has a thread, and glibc would give threads up to eight
  // arenas per core: after a burst of connections the freed memory stays
  // spread over all of them. In two arenas, the trim that follows the last
  // connection gives it back.
  ::mallopt(M_ARENA_MAX, 2);
  // A live view's kept process table holds two descriptors a process; the
  // usual soft limit of 1024 would leave it none. Up to the hard limit needs
  // no privilege, and nothing here uses select().
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < kOpenFileLimit) {
    files.rlim_cur = std::min<rlim_t>(kOpenFileLimit, files.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
}

// The admission checks, or nullptr after a line on standard error when the
// build or the machine leaves the daemon unable to tell a genuine client.
std::unique_ptr<codesign::LinuxCodeSigningServices> makeCodeSigning() {
  // The anchor is compiled in; one that does not parse is a broken build,
  // and a daemon that could admit no one must not pretend to serve.
  auto anchor = codesign::TrustAnchor::fromPem(codesign::buildTrustAnchorPem());
  if (!anchor) {
    std::fprintf(stderr, "com.korvane.helper: the compiled-in trust anchor does not parse\n");
    return nullptr;
  }
  // The genuine client is installed set-group-ID to this group; without it
  // no client could be told from a traced or rewritten one.
  const std::optional<gid_t> clientGroup = platform::groupIdForName(KORVANE_CLIENT_GROUP);
  if (!clientGroup) {
    std::fprintf(stderr, "com.korvane.helper: no group " KORVANE_CLIENT_GROUP
                         " (scripts/setup.sh creates it; korvane-helperctl must be installed "
                         "set-group-ID to it)\n");
    return nullptr;
  }
  return std::make_unique<codesign::LinuxCodeSigningServices>(std::move(*anchor), *clientGroup);
}

// Returns 1 when it cannot listen. Otherwise serves until a stop signal and
// ends the process with the run loop's status without returning: connections
// cut at the end of the grace period may still be running on their threads,
// so nothing built here may be destroyed under them.
int serve(const codesign::CodeSigningServices& codeSigning) {
  processes::SystemProcessSource processSource;
  control::PosixCommandRunner runner;
  control::PosixProcessSignaller signaller;
  control::ProcfsSignalTargets targets;
  firewall::PfFirewall firewall(runner);
  processes::PsLister ps;
  // The helper's own files, which removal refuses: socket, lock, executable.
  control::DiskAppRemover remover({transport::Listener::socketPathForService(kServiceName),
                                   "/run/com.korvane.helper.lock", "/proc/self/exe"});
  authorization::SystemJournal journal;
  const interface::HelperServices services {
    processSource, ps, runner, signaller, targets, remover, firewall, journal
  };

  // Anyone may connect: who may act is decided request by request, root and
  // the group's members outright, everyone else through polkit.
  transport::ListenerOptions options;
  options.socketGroup = platform::groupIdForName(kHelperGroup);
  options.socketMode = 0666;
  if (!options.socketGroup) {
    std::fprintf(stderr, "com.korvane.helper: no group %s: everyone but root acts through polkit\n",
                 kHelperGroup);
  }

  service::HelperDelegate delegate(services, codeSigning, nullptr, options.socketGroup);
  std::string error;
  const std::unique_ptr<transport::Listener> listener =
      transport::Listener::initWithMachServiceName(kServiceName, options, &error);
  if (!listener) {
    std::fprintf(stderr, "com.korvane.helper: cannot listen: %s\n", error.c_str());
    return 1;
  }
  listener->setDelegate(&delegate);
  listener->resume();
  const int status = transport::runMainRunLoop(*listener, kStopGrace);
  std::fflush(stdout);
  std::_Exit(status);
}

}  // namespace

int main() {
  prepareProcess();
  if (::geteuid() != 0) {
    std::fprintf(stderr, "com.korvane.helper: must run as root (running as uid %u)\n",
                 static_cast<unsigned>(::geteuid()));
    return 1;
  }
  const auto codeSigning = makeCodeSigning();
  return codeSigning ? serve(*codeSigning) : 1;
}
