// The firewall end to end: the real daemon, korvane-helperctl, the pf
// stand-in as /sbin/pfctl and nftables, all inside private mount and network
// namespaces, so neither the host's firewall nor its /etc is touched.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/unique_fd.h"
#include "tests/e2e/sandbox.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using platform::UniqueFd;

enum class Outcome { kConnected, kRefused, kTimedOut, kError };

sockaddr_storage loopback(int family, std::uint16_t port, socklen_t* len) {
  sockaddr_storage s{};
  if (family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&s);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    *len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in6*>(&s);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    a->sin6_addr = in6addr_loopback;
    *len = sizeof *a;
  }
  return s;
}

// A socket bound to the loopback address of `family`; its port in `port`.
UniqueFd bound(int family, int type, std::uint16_t* port) {
  UniqueFd fd(::socket(family, type | SOCK_CLOEXEC, 0));
  socklen_t len;
  sockaddr_storage addr = loopback(family, 0, &len);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) return {};
  if (type == SOCK_STREAM && ::listen(fd.get(), 16) != 0) return {};
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&addr)->sin_port
                                  : reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
  return fd;
}

// A TCP connect with a short deadline: a dropped SYN shows as a time-out.
Outcome tcpConnect(int family, std::uint16_t port) {
  UniqueFd fd(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  socklen_t len;
  sockaddr_storage addr = loopback(family, port, &len);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) == 0) return Outcome::kConnected;
  if (errno == ECONNREFUSED) return Outcome::kRefused;
  if (errno != EINPROGRESS) return Outcome::kError;
  pollfd p{fd.get(), POLLOUT, 0};
  if (::poll(&p, 1, 400) == 0) return Outcome::kTimedOut;
  int err = 0;
  len = sizeof err;
  ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
  if (err == 0) return Outcome::kConnected;
  return err == ECONNREFUSED ? Outcome::kRefused : Outcome::kError;
}

// Sends one datagram to the UDP socket `receiver`: kConnected when it
// arrived, kRefused when the send was rejected at once, kTimedOut when it
// left but never arrived.
Outcome udpSend(int family, int receiver, std::uint16_t port) {
  UniqueFd fd(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  socklen_t len;
  sockaddr_storage addr = loopback(family, port, &len);
  if (::sendto(fd.get(), "x", 1, 0, reinterpret_cast<sockaddr*>(&addr), len) != 1) {
    return errno == EPERM || errno == ECONNREFUSED ? Outcome::kRefused : Outcome::kError;
  }
  pollfd p{receiver, POLLIN, 0};
  if (::poll(&p, 1, 400) == 0) return Outcome::kTimedOut;
  char buf[8];
  ::recv(receiver, buf, sizeof buf, 0);
  return Outcome::kConnected;
}

class FirewallE2E : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(enterPrivateNamespaces(kNetwork, &why)) << why << " (end-to-end tests need root)";
    ASSERT_EQ(run({"/bin/ip", "link", "set", "lo", "up"}).status, 0);
    // The stand-in as /sbin/pfctl, and pf's files in /etc, on overlays: in
    // place of whatever the host has there, for this namespace only.
    const fs::path sbin = fs::canonical("/sbin");
    overlay(sbin.string());
    fs::copy_file(KORVANE_PFCTL_PATH, sbin / "pfctl", fs::copy_options::overwrite_existing);
    overlay("/etc");
    testsupport::writeFile("/etc/pf.conf", "# pf.conf of the test\nset skip on lo0");
    fs::create_directory("/etc/pf.anchors");
    daemon_ = std::make_unique<Daemon>();
    ASSERT_TRUE(daemon_->running());
  }

  std::unique_ptr<Daemon> daemon_;
};

TEST_F(FirewallE2E, EnableBlocksTheChosenPortsAndDisableOpensThemAgain) {
  std::uint16_t inTcp = 0, outTcp = 0, inUdp = 0, outUdp = 0, inTcp6 = 0, outTcp6 = 0;
  UniqueFd l1 = bound(AF_INET, SOCK_STREAM, &inTcp), l2 = bound(AF_INET, SOCK_STREAM, &outTcp);
  UniqueFd u1 = bound(AF_INET, SOCK_DGRAM, &inUdp), u2 = bound(AF_INET, SOCK_DGRAM, &outUdp);
  UniqueFd l3 = bound(AF_INET6, SOCK_STREAM, &inTcp6), l4 = bound(AF_INET6, SOCK_STREAM, &outTcp6);
  ASSERT_TRUE(l1 && l2 && u1 && u2 && l3 && l4);
  auto str = [](std::uint16_t p) { return std::to_string(p); };

  RunResult r =
      helperctl({"--json", "firewall", "enable", "--inbound-tcp", str(inTcp) + "," + str(inTcp6),
                 "--outbound-tcp", str(outTcp) + "," + str(outTcp6), "--inbound-udp", str(inUdp),
                 "--outbound-udp", str(outUdp)});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "{\"success\": true, \"message\": null}\n");
  // The anchor's text is the firewall's own test's; here, that it is hooked
  // into pf.conf and that the kernel then blocks what it names.
  const std::string conf = "# pf.conf of the test\nset skip on lo0";
  EXPECT_EQ(readFile("/etc/pf.conf"),
            conf +
                "\n# Korvane Firewall Anchor\nanchor \"com.korvane.helper.firewall\"\n"
                "load anchor \"com.korvane.helper.firewall\" from "
                "\"/etc/pf.anchors/com.korvane.helper.firewall\"\n");
  EXPECT_EQ(tcpConnect(AF_INET, inTcp), Outcome::kTimedOut);
  EXPECT_EQ(tcpConnect(AF_INET6, inTcp6), Outcome::kTimedOut);
  EXPECT_EQ(tcpConnect(AF_INET, outTcp), Outcome::kRefused);
  EXPECT_EQ(tcpConnect(AF_INET6, outTcp6), Outcome::kRefused);
  EXPECT_EQ(udpSend(AF_INET, u1.get(), inUdp), Outcome::kTimedOut);
  EXPECT_EQ(udpSend(AF_INET, u2.get(), outUdp), Outcome::kRefused);

  // A port pfctl refuses: NO with its exit status, and the rules stay.
  r = helperctl({"firewall", "enable", "--inbound-tcp", "70000"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "NO\npfctl failed to load anchor with exit code 1.\n");
  EXPECT_EQ(tcpConnect(AF_INET, outTcp), Outcome::kRefused);

  r = helperctl({"firewall", "disable"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "YES\nKorvane Firewall Rules Flushed\n");
  EXPECT_EQ(tcpConnect(AF_INET, inTcp), Outcome::kConnected);
  EXPECT_EQ(tcpConnect(AF_INET6, inTcp6), Outcome::kConnected);
  EXPECT_EQ(tcpConnect(AF_INET, outTcp), Outcome::kConnected);
  EXPECT_EQ(tcpConnect(AF_INET6, outTcp6), Outcome::kConnected);
  EXPECT_EQ(udpSend(AF_INET, u1.get(), inUdp), Outcome::kConnected);
  EXPECT_EQ(udpSend(AF_INET, u2.get(), outUdp), Outcome::kConnected);
  // The anchor block went in once.
  const std::string hooked = readFile("/etc/pf.conf");
  EXPECT_EQ(hooked.find("# Korvane"), hooked.rfind("# Korvane"));
}

}  // namespace
}  // namespace e2e
