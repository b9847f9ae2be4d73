// transport_bench: what the transport costs and how it holds under load.
//
//   transport_bench [--rows] [ROUNDS]
//
// Runs as root. In a private mount namespace (a tmpfs on /run, so the host's
// daemon and socket are left alone) it starts the real daemon and measures:
//  1. the round trip of a cheap request on an admitted connection
//     (terminateProcessWithPid: 0, which the daemon refuses without acting),
//     p50 and p99 over ROUNDS (default 20000), against a plain Unix-socket
//     echo of frames of the same sizes served by a process of its own, in
//     interleaved blocks, every side on one CPU;
//  2. 1, 16 and 64 parallel clients, each making 20 process-data listings on
//     a connection of its own apiece (as korvane-helperctl does): wall time,
//     listings per second and failed listings (the goal is none);
//  3. the daemon's resident size idle, right after the 64-client burst and
//     three seconds later;
//  4. how much a hostile 1 MiB request raises the daemon's peak resident
//     size: array headers that each claim every byte left, and the most
//     values a frame may hold (65,535 strings in an array).
// It prints a table; with --rows, lines "measure<TAB>transport<TAB>cell" for
// scripts/bench.sh to gather into its table of ratios. This program is signed
// as the genuine client; the daemon admits it run from a copy installed as the
// client is (root:korvane-client 2755), which scripts/bench.sh makes.

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client/helper_client.h"
#include "common/big_endian.h"
#include "platform/fd_io.h"
#include "platform/subprocess.h"
#include "platform/unique_fd.h"
#include "platform/unix_address.h"
#include "transport/message.h"
#include "transport/msgpack.h"

namespace {

using Clock = std::chrono::steady_clock;
using platform::UniqueFd;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "transport_bench: %s\n", what.c_str());
  std::exit(1);
}

void enterPrivateRun() {
  if (::unshare(CLONE_NEWNS) != 0 ||
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      ::mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
    fail("cannot make a private /run (run as root)");
  }
}

// VmRSS (resident now) or VmHWM (its peak) of `pid`, in MB.
double megabytes(pid_t pid, const std::string& field = "VmRSS:") {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::stod(line.substr(field.size())) / 1024.0;
  }
  return -1;
}

struct Percentiles {
  double p50 = 0, p99 = 0;
};

Percentiles percentiles(std::vector<double> us) {
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

// Reads one frame; false at the end of the stream.
bool readFrame(int fd, std::string& body) {
  unsigned char header[transport::kFrameHeaderSize];
  if (!platform::readExactly(fd, reinterpret_cast<char*>(header), sizeof header)) return false;
  body.resize(transport::parseFrameHeader(header));
  return platform::readExactly(fd, body.data(), body.size());
}

// The baseline: a process of its own that answers each request frame with
// `reply` over a plain Unix socket pair, as the daemon is a process of its own.
class EchoServer {
 public:
  explicit EchoServer(const std::string& reply) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) fail("socketpair");
    client_.reset(pair[0]);
    UniqueFd server(pair[1]);
    pid_ = ::fork();
    if (pid_ < 0) fail("fork");
    if (pid_ == 0) {
      client_.reset();
      std::string body;
      while (readFrame(server.get(), body) && platform::sendAll(server.get(), reply)) {
      }
      ::_exit(0);
    }
  }
  ~EchoServer() {
    client_.reset();  // the server reads the end and exits
    ::waitpid(pid_, nullptr, 0);
  }
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;

  // Appends the time of each of `rounds` round trips to `us`.
  void roundTrips(const std::string& request, int rounds, std::vector<double>& us) {
    std::string body;
    for (int i = 0; i < rounds; ++i) {
      const auto start = Clock::now();
      if (!platform::sendAll(client_.get(), request) || !readFrame(client_.get(), body)) {
        fail("echo");
      }
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  }

 private:
  UniqueFd client_;
  pid_t pid_ = -1;
};

void daemonRoundTrips(korvane::HelperClient& client, int rounds, std::vector<double>& us) {
  std::string error;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    if (!client.terminateProcess(0, &error)) fail("terminate 0: " + error);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
}

// Prints one figure: in the table, or as a row for scripts/bench.sh.
bool rows = false;
void figure(const char* measure, const std::string& cell) {
  if (rows) {
    std::printf("%s\ttransport\t%s\n", measure, cell.c_str());
  } else {
    std::printf("  %-58s %s\n", measure, cell.c_str());
  }
}

std::string format(const char* pattern, double a, double b = 0, double c = 0) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, a, b, c);
  return text;
}

// Sets the CPUs of every thread of `pid` (threads started later inherit it
// from the thread that starts them).
void pin(pid_t pid, const cpu_set_t& cpus) {
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    ::sched_setaffinity(std::stoi(task.path().filename()), sizeof cpus, &cpus);
  }
}

// Both sides of both round trips run on one CPU: whether a wake-up crosses
// CPUs (a costly interrupt in a virtual machine) would otherwise decide the
// figures more than either program does.
void roundTrips(pid_t daemonPid, int rounds) {
  cpu_set_t all, one;
  ::sched_getaffinity(0, sizeof all, &all);
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &all)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  pin(::getpid(), one);
  pin(daemonPid, one);
  const std::string request = transport::frame(transport::encodeRequest(
      {1, "terminateProcessWithPid:completion:", "v32@0:8q16@?<v@?B>24", {common::Value(0)}}));
  const std::string reply = transport::frame(transport::encodeReply({1, {common::Value(false)}}));
  std::string error;
  auto client = korvane::HelperClient::connect(korvane::defaultSocketPath(), nullptr, &error);
  if (!client) fail("connect: " + error);
  EchoServer echoServer(reply);
  std::vector<double> warmUp, daemonUs, echoUs;
  daemonRoundTrips(*client, rounds / 10, warmUp);
  echoServer.roundTrips(request, rounds / 10, warmUp);
  // Interleaved blocks, so that both see the same load on the machine.
  for (int block = 0; block < 10; ++block) {
    daemonRoundTrips(*client, rounds / 10, daemonUs);
    echoServer.roundTrips(request, rounds / 10, echoUs);
  }
  pin(::getpid(), all);
  pin(daemonPid, all);
  const Percentiles daemon = percentiles(daemonUs), echo = percentiles(echoUs);
  figure("round trip p50 us: admitted connection, Unix-socket echo",
         format("%.1f, %.1f", daemon.p50, echo.p50));
  figure("round trip p99 us: admitted connection, Unix-socket echo",
         format("%.1f, %.1f", daemon.p99, echo.p99));
  figure("round trip p50, admitted connection / Unix-socket echo",
         format("%.2f", daemon.p50 / echo.p50));
  figure("round trip p99, admitted connection / Unix-socket echo",
         format("%.2f", daemon.p99 / echo.p99));
}

struct Burst {
  int failed = 0;
  double seconds = 0;
  std::string firstError;
};

// `clients` threads, each making `listings` process-data listings on a
// connection of its own apiece.
Burst parallelListings(int clients, int listings) {
  std::atomic<int> failed{0};
  std::string firstError;
  std::atomic<bool> haveError{false};
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  threads.reserve(clients);
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      for (int i = 0; i < listings; ++i) {
        std::string error;
        auto client = korvane::HelperClient::connect(korvane::defaultSocketPath(), nullptr, &error);
        if (client && client->fetchAllProcessData(&error)) continue;
        ++failed;
        if (!haveError.exchange(true)) firstError = error;
      }
    });
  }
  for (auto& t : threads) t.join();
  return {failed, std::chrono::duration<double>(Clock::now() - start).count(), firstError};
}

void bursts(pid_t daemon) {
  constexpr int kListings = 20;
  const double idle = megabytes(daemon);
  for (int clients : {1, 16, 64}) {
    const Burst b = parallelListings(clients, kListings);
    const std::string name = std::to_string(clients) + " clients x 20 listings: ";
    figure((name + "failed of " + std::to_string(clients * kListings)).c_str(),
           std::to_string(b.failed) + (b.failed ? " (" + b.firstError + ")" : ""));
    figure((name + "listings/s").c_str(), format("%.0f", clients * kListings / b.seconds));
  }
  const double after = megabytes(daemon);
  std::this_thread::sleep_for(std::chrono::seconds(3));
  figure("daemon RSS MB: idle, right after 64 clients, 3 s later",
         format("%.1f, %.1f, %.1f", idle, after, megabytes(daemon)));
}

// Sends `body` as a request on an admitted connection and waits for the
// daemon to close it; the rise of the daemon's peak resident size, in MB.
double peakRiseFor(pid_t daemon, const std::string& body) {
  std::ofstream("/proc/" + std::to_string(daemon) + "/clear_refs") << "5";  // peak := now
  const double before = megabytes(daemon, "VmHWM:");
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr;
  platform::unixSocketAddress(korvane::defaultSocketPath(), &addr);
  std::string frame;
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      !readFrame(fd.get(), frame) || !transport::isAdmitted(frame) ||
      !platform::sendAll(fd.get(), transport::frame(body))) {
    fail("cannot send a frame");
  }
  readFrame(fd.get(), frame);  // returns at the close
  return megabytes(daemon, "VmHWM:") - before;
}

void hostileFrames(pid_t daemon) {
  auto header = [](char tag, std::uint32_t n) {  // array32 of n
    unsigned char count[4];
    common::storeBigEndian32(n, count);
    return std::string(1, tag) + std::string(reinterpret_cast<char*>(count), 4);
  };
  std::string lying;
  for (int level = 0; level <= transport::msgpack::kMaxDepth; ++level) {
    lying += header('\xdd', (1u << 20) - lying.size() - 5);
  }
  lying.resize(1u << 20, '\xc0');
  std::string strings = header('\xdd', 65535);
  for (int i = 0; i < 65535; ++i) strings += "\xaf" + std::string(15, 's');
  const double lyingRise = peakRiseFor(daemon, lying);
  figure("daemon peak RSS rise MB, 1 MiB request: lying headers, 65,535 strings",
         format("%.1f, %.1f", lyingRise, peakRiseFor(daemon, strings)));
}

}  // namespace

int main(int argc, char** argv) {
  rows = argc > 1 && std::string(argv[1]) == "--rows";
  const int rounds = argc > 1 + rows ? std::atoi(argv[1 + rows]) : 20000;
  if (rounds < 100) fail("usage: transport_bench [--rows] [ROUNDS >= 100]");
  // The daemon admits a program only off a mount of its own namespace, run
  // set-group-ID as installed: in the private /run, this one starts afresh.
  if (::getenv("KORVANE_BENCH_PRIVATE_RUN") == nullptr) {
    enterPrivateRun();
    ::setenv("KORVANE_BENCH_PRIVATE_RUN", "1", 1);
    const std::string self = std::filesystem::read_symlink("/proc/self/exe");
    ::execv(self.c_str(), argv);
    fail("cannot start " + self + " again");
  }
  platform::SpawnOptions options;
  options.error = platform::ChildStream::kInherit;
  platform::Child daemon = platform::Child::spawn(KORVANE_DAEMON_PATH, {}, options);
  if (!daemon.valid()) fail("cannot start " KORVANE_DAEMON_PATH);
  for (int i = 0; i < 500 && !std::filesystem::exists(korvane::defaultSocketPath()); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  roundTrips(daemon.pid(), rounds);
  bursts(daemon.pid());
  hostileFrames(daemon.pid());
  daemon.killAndReap();
  return 0;
}
