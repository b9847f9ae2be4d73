// admission_bench DAEMON CLIENT [ROUNDS]: what admission costs the installed
// client. Run as root; works in private mount and /run namespaces of its
// own, so nothing on the host changes.
//
//  1. Admission: CLIENT (the installed korvane-helperctl) connects to a
//     socket of ours; with it waiting for the verdict, the daemon's own checks
//     (guest code, requirement, validity, as caller validation runs them) are
//     timed ROUNDS times against that live process: first as a new daemon
//     does it, hashing the whole file; then as a running daemon does for a
//     file it has hashed before; and the guest code lookup (file checks,
//     mount table) alone.
//  2. End to end: `CLIENT terminate 0` against the real DAEMON, interleaved
//     with /bin/true, each started and waited for the same way.
//
// Prints medians and the ratio of the whole command to /bin/true.
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "codesign/build_trust_anchor.h"
#include "codesign/security.h"
#include "platform/pidfd.h"
#include "platform/subprocess.h"
#include "platform/unique_fd.h"
#include "platform/unix_address.h"
#include "transport/audit_token.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr char kSocket[] = "/run/com.korvane.helper.socket";
constexpr char kRequirement[] =
    "anchor apple generic and identifier \"com.korvane.Korvane-Activity-Console\" and "
    "certificate leaf[subject.OU] = \"QX7ZK2M4PD\"";

double milliseconds(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

bool privateRun() {
  return ::unshare(CLONE_NEWNS) == 0 &&
         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         ::mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") == 0;
}

// Times the daemon's checks against a live `client` waiting for its verdict.
struct AdmissionTimes {
  std::vector<double> hashing, remembered, guest;
};

bool timeAdmission(const std::string& client, int rounds, AdmissionTimes* times) {
  sockaddr_un address;
  platform::unixSocketAddress(kSocket, &address);
  platform::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!listener || ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) ||
      ::listen(listener.get(), 1) != 0) {
    return false;
  }
  platform::Child waiting = platform::Child::spawn(client, {"terminate", "0"}, {});
  platform::UniqueFd peer(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (!peer || ::getsockopt(peer.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0) {
    return false;
  }
  platform::UniqueFd pidfd = platform::pidfdOpen(credentials.pid);
  const transport::AuditToken token{credentials.pid, credentials.uid, credentials.gid, pidfd.get()};
  auto anchor = codesign::TrustAnchor::fromPem(codesign::buildTrustAnchorPem());
  const group* clientGroup = ::getgrnam(KORVANE_CLIENT_GROUP);
  if (!anchor || clientGroup == nullptr) return false;
  const codesign::LinuxCodeSigningServices running(*anchor, clientGroup->gr_gid);
  auto admit = [&](const codesign::LinuxCodeSigningServices& services, std::vector<double>* into,
                   std::vector<double>* guestTimes) {
    const auto start = Clock::now();
    codesign::SecCodeRef guest;
    codesign::SecRequirementRef requirement;
    const bool found = services.SecCodeCopyGuestWithAttributes(nullptr, {token}, 0, &guest) == 0;
    if (guestTimes != nullptr) guestTimes->push_back(milliseconds(Clock::now() - start));
    const bool admitted =
        found && services.SecRequirementCreateWithString(kRequirement, 0, &requirement) == 0 &&
        services.SecCodeCheckValidity(guest.get(), 0, requirement.get()) == 0;
    into->push_back(milliseconds(Clock::now() - start));
    if (!admitted) std::fprintf(stderr, "admission_bench: %s is not admitted\n", client.c_str());
    return admitted;
  };
  for (int i = 0; i < rounds; ++i) {
    const codesign::LinuxCodeSigningServices fresh(*anchor, clientGroup->gr_gid);
    if (!admit(fresh, &times->hashing, nullptr) ||
        !admit(running, &times->remembered, &times->guest)) {
      return false;
    }
  }
  peer.reset();
  waiting.wait();
  return ::unlink(kSocket) == 0;
}

double cpuMilliseconds(clockid_t clock) {
  timespec t{};
  ::clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Wall time of one run of `argv`, and in `cpu` the CPU time it cost: its own
// (user and system) and what `helper`'s clock moved meanwhile.
double timeRun(const std::vector<std::string>& argv, clockid_t helper, double* cpu,
               double* helperCpu = nullptr) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const double helperBefore = cpuMilliseconds(helper);
  const auto start = Clock::now();
  // What each prints ("NO" and why, for terminate 0) goes to /dev/null.
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  const int spawned = posix_spawn(&pid, args[0], &quiet, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&quiet);
  if (spawned != 0) return 0;
  rusage usage{};
  while (::wait4(pid, nullptr, 0, &usage) < 0 && errno == EINTR) {
  }
  const double wall = milliseconds(Clock::now() - start);
  const auto ms = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
  };
  const double helperSpent = cpuMilliseconds(helper) - helperBefore;
  *cpu = ms(usage.ru_utime) + ms(usage.ru_stime) + helperSpent;
  if (helperCpu != nullptr) *helperCpu = helperSpent;
  return wall;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: admission_bench DAEMON CLIENT [ROUNDS]\n");
    return 2;
  }
  const std::string daemon = argv[1], client = argv[2];
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 200;
  if (!privateRun()) {
    std::perror("admission_bench: private /run (run as root)");
    return 1;
  }
  AdmissionTimes admission;
  if (!timeAdmission(client, rounds, &admission)) return 1;

  platform::Child server = platform::Child::spawn(daemon, {}, {});
  struct stat st {};
  for (int i = 0; i < 500 && ::stat(kSocket, &st) != 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  clockid_t helper;
  if (::clock_getcpuclockid(server.pid(), &helper) != 0) return 1;
  std::vector<double> command, baseline, commandCpu, daemonCpu, baselineCpu;
  for (int i = 0; i < rounds; ++i) {
    double cpu = 0;
    double inDaemon = 0;
    command.push_back(timeRun({client, "terminate", "0"}, helper, &cpu, &inDaemon));
    commandCpu.push_back(cpu);
    daemonCpu.push_back(inDaemon);
    baseline.push_back(timeRun({"/bin/true"}, helper, &cpu));
    baselineCpu.push_back(cpu);
  }
  server.killAndReap();

  if (::stat(client.c_str(), &st) != 0) return 1;
  std::printf("%-44s %9s %9s\n", "measure", "median", "p90");
  std::printf("%-44s %6.3f ms %6.3f ms   (%.2f MB file)\n", "first admission of the client",
              percentile(admission.hashing, 0.5), percentile(admission.hashing, 0.9),
              static_cast<double>(st.st_size) / 1e6);
  // The median and 90th percentile of `samples`, in milliseconds; the ratio
  // of two medians.
  auto times = [](const char* measure, const std::vector<double>& samples) {
    std::printf("%-44s %6.3f ms %6.3f ms\n", measure, percentile(samples, 0.5),
                percentile(samples, 0.9));
  };
  auto ratio = [](const char* measure, const std::vector<double>& ours,
                  const std::vector<double>& theirs) {
    std::printf("%-44s %6.2f x\n", measure, percentile(ours, 0.5) / percentile(theirs, 0.5));
  };
  times("admission of the installed client", admission.remembered);
  times("  of which the guest code lookup", admission.guest);
  times("korvane-helperctl terminate 0", command);
  times("/bin/true", baseline);
  ratio("terminate 0 / true (medians)", command, baseline);
  // CPU time, the daemon's share included: steadier than wall time on a busy machine.
  times("korvane-helperctl terminate 0 CPU", commandCpu);
  times("  of which the daemon's", daemonCpu);
  times("/bin/true CPU", baselineCpu);
  ratio("terminate 0 / true CPU (medians)", commandCpu, baselineCpu);
  return 0;
}
