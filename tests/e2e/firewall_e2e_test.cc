// The firewall end to end: the real daemon, korvane-helperctl, the pf
// stand-in as /sbin/pfctl and nftables, all inside private mount and network
// namespaces, so neither the host's firewall nor its /etc is touched.

#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include "platform/unique_fd.h"
#include "tests/e2e/sandbox.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using platform::UniqueFd;

enum class Outcome { kConnected, kRefused, kTimedOut, kError };

// A dual-stack socket of `type` (TCP: listening) on a port of its own, and
// what happens when the test connects (TCP) or sends (UDP) to that port over
// IPv4 (::ffff:127.0.0.1) or IPv6 (::1).
struct Probe {
  Probe(int t, bool v4) : type(t), ipv4(v4), fd(::socket(AF_INET6, t | SOCK_CLOEXEC, 0)) {
    sockaddr_in6 a{AF_INET6, 0, 0, in6addr_any, 0};
    socklen_t len = sizeof a;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        (type == SOCK_STREAM && ::listen(fd.get(), 16) != 0) ||
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      fd.reset();
    }
    port = ntohs(a.sin6_port);
  }
  // A dropped SYN or datagram shows as a time-out; a rejected one at once.
  Outcome outcome() const {
    UniqueFd out(::socket(AF_INET6, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in6 to{AF_INET6, htons(port), 0, in6addr_loopback, 0};
    if (ipv4) ::inet_pton(AF_INET6, "::ffff:127.0.0.1", &to.sin6_addr);
    const auto* address = reinterpret_cast<const sockaddr*>(&to);
    const bool sent = type == SOCK_STREAM
                          ? ::connect(out.get(), address, sizeof to) == 0 || errno == EINPROGRESS
                          : ::sendto(out.get(), "x", 1, 0, address, sizeof to) == 1;
    if (!sent) return errno == ECONNREFUSED || errno == EPERM ? Outcome::kRefused : Outcome::kError;
    pollfd p = type == SOCK_STREAM ? pollfd{out.get(), POLLOUT, 0} : pollfd{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, 400) == 0) return Outcome::kTimedOut;
    char buf[8];
    if (type == SOCK_DGRAM) {
      return ::recv(fd.get(), buf, sizeof buf, 0) == 1 ? Outcome::kConnected : Outcome::kError;
    }
    int err = 0;
    socklen_t size = sizeof err;
    ::getsockopt(out.get(), SOL_SOCKET, SO_ERROR, &err, &size);
    return err == 0              ? Outcome::kConnected
           : err == ECONNREFUSED ? Outcome::kRefused
                                 : Outcome::kError;
  }

  int type;
  bool ipv4;
  UniqueFd fd;
  std::uint16_t port = 0;
};

using FirewallE2E = DaemonSuite<kNetwork>;

TEST_F(FirewallE2E, EnableBlocksTheChosenPortsAndDisableOpensThemAgain) {
  ASSERT_EQ(run({"/bin/ip", "link", "set", "lo", "up"}).status, 0);
  // The stand-in as /sbin/pfctl, and pf's files in /etc, on overlays: in
  // place of whatever the host has there, for this namespace (the daemon's) only.
  const fs::path sbin = fs::canonical("/sbin");
  overlay(sbin.string());
  fs::copy_file(KORVANE_PFCTL_PATH, sbin / "pfctl", fs::copy_options::overwrite_existing);
  overlay("/etc");
  testsupport::writeFile("/etc/pf.conf", "# pf.conf of the test\nset skip on lo0");
  fs::create_directory("/etc/pf.anchors");

  // Inbound: dropped (TCP and UDP time out); outbound: rejected at once.
  const Probe inTcp(SOCK_STREAM, true), inTcp6(SOCK_STREAM, false), outTcp(SOCK_STREAM, true),
      outTcp6(SOCK_STREAM, false), inUdp(SOCK_DGRAM, true), outUdp(SOCK_DGRAM, true);
  const std::pair<const Probe*, Outcome> blocked[] = {
      {&inTcp, Outcome::kTimedOut},  {&inTcp6, Outcome::kTimedOut}, {&outTcp, Outcome::kRefused},
      {&outTcp6, Outcome::kRefused}, {&inUdp, Outcome::kTimedOut},  {&outUdp, Outcome::kRefused}};
  for (const auto& [probe, outcome] : blocked) ASSERT_TRUE(probe->fd);
  auto str = [](const Probe& p) { return std::to_string(p.port); };

  RunResult r =
      helperctl({"--json", "firewall", "enable", "--inbound-tcp", str(inTcp) + "," + str(inTcp6),
                 "--outbound-tcp", str(outTcp) + "," + str(outTcp6), "--inbound-udp", str(inUdp),
                 "--outbound-udp", str(outUdp)});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "{\"success\": true, \"message\": null}\n");
  EXPECT_TRUE(readFile("/etc/pf.conf")
                  .ends_with("\nload anchor \"com.korvane.helper.firewall\" from "
                             "\"/etc/pf.anchors/com.korvane.helper.firewall\"\n"));
  for (const auto& [probe, outcome] : blocked) EXPECT_EQ(probe->outcome(), outcome) << probe->port;

  // Only root and the helper's group (nobody is not in it) may connect:
  // nobody is refused by the socket itself, before the daemon sees it.
  struct stat socket {};
  ASSERT_EQ(::stat("/run/com.korvane.helper.socket", &socket), 0);
  EXPECT_EQ(socket.st_mode & 07777, 0660u);
  EXPECT_EQ(socket.st_gid, ::getgrnam("korvane-helper")->gr_gid);
  r = helperctl({"process-data"}, 65534);
  EXPECT_EQ(r.status, 69) << r.out;
  EXPECT_NE(r.err.find("only root and members of korvane-helper"), std::string::npos) << r.err;
  // A second daemon exits at start, without connecting to the running one.
  EXPECT_EQ(run({daemonPath()}).status, 1);
  EXPECT_EQ(daemon_->output(), "");

  r = helperctl({"firewall", "disable"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "YES\nKorvane Firewall Rules Flushed\n");
  for (const auto& [probe, outcome] : blocked) EXPECT_EQ(probe->outcome(), Outcome::kConnected);
}

}  // namespace
}  // namespace e2e
