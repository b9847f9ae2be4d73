// The pf stand-in against real nftables. Each test process first moves into a
// network namespace of its own (unshare), where the loopback device is its
// only device, so no rule ever reaches the host's firewall; rule and
// configuration files live in a temporary folder, never in /etc.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "firewall/firewall_rules.h"
#include "firewall/pf_conf.h"
#include "firewall/test_folder.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace {

using firewall::makeFirewallRules;
using firewall::portListOf;
using platform::UniqueFd;

const std::string kAnchor = "com.korvane.helper.firewall";
constexpr int kBlockedMs = 300;   // long enough for loopback to answer if it would
constexpr int kAnswerMs = 10000;  // an answer that must come, however busy the machine

std::string netnsId() {
  char target[64] = {};
  ssize_t n = ::readlink("/proc/self/ns/net", target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "";
}

// Moves this process into a new network namespace with loopback up. Returns
// why the tests must be skipped, or "" when isolated.
std::string isolate() {
  const char* nftOverride = ::getenv("KORVANE_NFT");
  const std::string nft = nftOverride != nullptr && *nftOverride ? nftOverride : "/usr/sbin/nft";
  if (::access(nft.c_str(), X_OK) != 0) return nft + " is missing (install nftables)";
  const std::string host = netnsId();
  if (::unshare(CLONE_NEWNET) != 0) {
    return std::string("no private network namespace: unshare: ") + ::strerror(errno);
  }
  if (host.empty() || netnsId() == host) return "still in the first network namespace";
  UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ifreq request{};
  ::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  if (!s || ::ioctl(s.get(), SIOCGIFFLAGS, &request) != 0) return "cannot read lo's flags";
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  if (::ioctl(s.get(), SIOCSIFFLAGS, &request) != 0) return "cannot bring lo up";
  return "";
}

struct ToolRun {
  int status = -1;
  std::string output;  // standard output and error together
};

ToolRun pfctl(std::vector<std::string> args) {
  args.insert(args.begin(), KORVANE_PFCTL_BINARY);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return {};
  UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);
  pid_t pid;
  int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return {};
  writeEnd.reset();
  ToolRun run;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    run.output.append(buffer, static_cast<std::size_t>(n));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

sockaddr_storage loopback(int family, std::uint16_t port) {
  sockaddr_storage address{};
  if (family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&address);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    in6->sin6_addr = in6addr_loopback;
  }
  return address;
}

socklen_t sizeOf(int family) {
  return family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

// A socket of `type` bound to the same port on 127.0.0.1 and on ::1 (and,
// for TCP, listening).
struct LoopbackPort {
  LoopbackPort(int type) {
    v4 = UniqueFd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    sockaddr_storage address = loopback(AF_INET, 0);
    socklen_t size = sizeOf(AF_INET);
    if (::bind(v4.get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(v4.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      return;
    }
    port = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    v6 = UniqueFd(::socket(AF_INET6, type | SOCK_CLOEXEC, 0));
    int one = 1;
    ::setsockopt(v6.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    address = loopback(AF_INET6, port);
    if (::bind(v6.get(), reinterpret_cast<sockaddr*>(&address), sizeOf(AF_INET6)) != 0) {
      port = 0;
      return;
    }
    if (type == SOCK_STREAM && (::listen(v4.get(), 64) != 0 || ::listen(v6.get(), 64) != 0)) {
      port = 0;
    }
  }
  const UniqueFd& of(int family) const { return family == AF_INET ? v4 : v6; }

  UniqueFd v4, v6;
  std::uint16_t port = 0;
};

// A non-blocking TCP connect to loopback, waited for at most `waitMs`:
// "connected", "refused", "timed out", or another error's text.
std::string tcpConnect(int family, std::uint16_t port, int waitMs) {
  UniqueFd s(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  sockaddr_storage address = loopback(family, port);
  int error = 0;
  if (::connect(s.get(), reinterpret_cast<sockaddr*>(&address), sizeOf(family)) != 0) {
    error = errno;
    pollfd p{s.get(), POLLOUT, 0};
    if (error == EINPROGRESS) {
      int ready;
      do {
        ready = ::poll(&p, 1, waitMs);
      } while (ready < 0 && errno == EINTR);
      if (ready == 0) return "timed out";
      socklen_t size = sizeof error;
      ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &error, &size);
    }
  }
  if (error == 0) return "connected";
  return error == ECONNREFUSED ? "refused" : ::strerror(error);
}

// Sends one datagram to loopback; 0 or the errno of the failed send.
int udpSend(int family, std::uint16_t port) {
  UniqueFd s(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_storage address = loopback(family, port);
  if (::sendto(s.get(), "x", 1, 0, reinterpret_cast<sockaddr*>(&address), sizeOf(family)) == 1) {
    return 0;
  }
  return errno;
}

bool udpReceived(const UniqueFd& socket, int waitMs) {
  pollfd p{socket.get(), POLLIN, 0};
  if (::poll(&p, 1, waitMs) != 1) return false;
  char byte;
  return ::recv(socket.get(), &byte, 1, MSG_DONTWAIT) == 1;
}

class PfctlNetns : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { skipReason_ = new std::string(isolate()); }
  static void TearDownTestSuite() {
    delete skipReason_;
    skipReason_ = nullptr;
  }
  void SetUp() override {
    if (!skipReason_->empty()) GTEST_SKIP() << *skipReason_;
  }

  // Writes `rules` to the anchor file and loads it.
  ToolRun load(const std::string& rules) {
    firewall::writeFile(anchorFile_, rules);
    return pfctl({"-a", kAnchor, "-f", anchorFile_});
  }

  void expectTcp(const LoopbackPort& port, const std::string& expected) {
    for (int family : {AF_INET, AF_INET6}) {
      // A connect that must fail by silence gets a short wait; any other
      // outcome comes from loopback at once, given a generous bound.
      int wait = expected == "timed out" ? kBlockedMs : kAnswerMs;
      EXPECT_EQ(tcpConnect(family, port.port, wait), expected)
          << (family == AF_INET ? "127.0.0.1:" : "[::1]:") << port.port;
    }
  }

  static std::string* skipReason_;
  firewall::TestFolder folder_;
  std::string anchorFile_ = folder_ / "anchor";
};

std::string* PfctlNetns::skipReason_ = nullptr;

TEST_F(PfctlNetns, BlocksTcpInboundBySilenceAndOutboundByRefusalUntilFlushed) {
  LoopbackPort in(SOCK_STREAM), out(SOCK_STREAM), open(SOCK_STREAM);
  ASSERT_TRUE(in.port && out.port && open.port);
  ToolRun run = load(makeFirewallRules(portListOf({in.port}), portListOf({out.port}), {}, {}));
  ASSERT_EQ(run.status, 0) << run.output;
  expectTcp(in, "timed out");
  expectTcp(out, "refused");
  expectTcp(open, "connected");

  run = pfctl({"-a", kAnchor, "-F", "all"});
  ASSERT_EQ(run.status, 0) << run.output;
  for (const LoopbackPort* port : {&in, &out, &open}) expectTcp(*port, "connected");
}

TEST_F(PfctlNetns, MatchesEachAddressFamilyOnItsOwn) {
  LoopbackPort port(SOCK_STREAM);
  ASSERT_TRUE(port.port);
  const std::string p = std::to_string(port.port);
  ToolRun run = load("block return out inet6 proto tcp from any to any port { " + p + " }\n");
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(tcpConnect(AF_INET, port.port, kAnswerMs), "connected");
  EXPECT_EQ(tcpConnect(AF_INET6, port.port, kAnswerMs), "refused");
}

TEST_F(PfctlNetns, BlocksUdpInboundSilentlyAndOutboundWithAnError) {
  LoopbackPort in(SOCK_DGRAM), out(SOCK_DGRAM);
  ASSERT_TRUE(in.port && out.port);
  ToolRun run = load(makeFirewallRules({}, {}, portListOf({in.port}), portListOf({out.port})));
  ASSERT_EQ(run.status, 0) << run.output;
  for (int family : {AF_INET, AF_INET6}) {
    int error = udpSend(family, out.port);
    EXPECT_TRUE(error == EPERM || error == ECONNREFUSED) << ::strerror(error);
    EXPECT_EQ(udpSend(family, in.port), 0);
    EXPECT_FALSE(udpReceived(in.of(family), kBlockedMs));
  }

  run = pfctl({"-a", kAnchor, "-F", "all"});
  ASSERT_EQ(run.status, 0) << run.output;
  for (int family : {AF_INET, AF_INET6}) {
    for (const LoopbackPort* port : {&in, &out}) {
      EXPECT_EQ(udpSend(family, port->port), 0);
      EXPECT_TRUE(udpReceived(port->of(family), kAnswerMs));
    }
  }
}

TEST_F(PfctlNetns, FailedLoadKeepsThePreviousRulesAndAnEmptyFileEmptiesTheAnchor) {
  LoopbackPort port(SOCK_STREAM);
  ASSERT_TRUE(port.port);
  ToolRun run = load(makeFirewallRules({}, portListOf({port.port}), {}, {}));
  ASSERT_EQ(run.status, 0) << run.output;
  struct Case {
    std::string rules;
    std::string message;
  };
  const Case cases[] = {
      {makeFirewallRules(portListOf({70000}), {}, {}, {}), ":1: illegal port value 70000"},
      {makeFirewallRules({}, {}, portListOf({53, -1}), {}), ":1: illegal port value -1"},
      {"pass all\n", ":1: syntax error"},
  };
  for (const Case& c : cases) {
    run = load(c.rules);
    EXPECT_EQ(run.status, 1) << c.rules;
    EXPECT_NE(run.output.find(anchorFile_ + c.message), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("pf rules not loaded"), std::string::npos) << run.output;
    expectTcp(port, "refused");
  }

  run = load("");
  ASSERT_EQ(run.status, 0) << run.output;
  expectTcp(port, "connected");
}

TEST_F(PfctlNetns, ReloadLoadsEveryAnchorOfTheConfigurationAtOnce) {
  LoopbackPort first(SOCK_STREAM), second(SOCK_STREAM);
  ASSERT_TRUE(first.port && second.port);
  firewall::writeFile(anchorFile_, makeFirewallRules({}, portListOf({first.port}), {}, {}));
  const std::string other = folder_ / "other";
  firewall::writeFile(other, makeFirewallRules({}, portListOf({second.port}), {}, {}));
  const std::string conf = folder_ / "pf.conf";
  const std::string otherLoad = "load anchor \"other.anchor\" from \"" + other + "\"\n";
  firewall::writeFile(conf, "set skip on lo0\n" + otherLoad + firewall::anchorBlock(anchorFile_));

  ToolRun run = pfctl({"-f", conf});
  ASSERT_EQ(run.status, 0) << run.output;
  expectTcp(first, "refused");
  expectTcp(second, "refused");

  // One bad anchor file: nothing of the reload applies.
  ASSERT_EQ(pfctl({"-a", kAnchor, "-F", "all"}).status, 0);
  firewall::writeFile(other, makeFirewallRules({}, portListOf({70000}), {}, {}));
  run = pfctl({"-f", conf});
  EXPECT_EQ(run.status, 1) << run.output;
  expectTcp(first, "connected");
  expectTcp(second, "refused");
}

TEST_F(PfctlNetns, RefusesWhatItDoesNotUnderstand) {
  firewall::writeFile(anchorFile_, "");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {{"-E"}, 0, "pf enabled"},
      {{}, 1, "usage: pfctl"},
      {{"-d"}, 1, "pfctl: unsupported invocation: -d"},
      {{"-a", kAnchor, "-F", "rules"}, 1, "usage: pfctl"},
      {{"-sr"}, 1, "usage: pfctl"},
      {{"-a", "bad name", "-f", anchorFile_}, 1, "pfctl: invalid anchor name \"bad name\""},
      {{"-a", kAnchor, "-f", folder_ / "missing"}, 1, "No such file or directory"},
      {{"-f", folder_ / "missing.conf"}, 1, "pfctl: cannot open the main config file!"},
  };
  for (const Case& c : cases) {
    ToolRun run = pfctl(c.args);
    EXPECT_EQ(run.status, c.status) << ::testing::PrintToString(c.args);
    EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
  }
}

}  // namespace
