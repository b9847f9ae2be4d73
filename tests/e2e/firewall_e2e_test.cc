// The firewall end to end, in private mount and network namespaces: the host's
// firewall and /etc are never touched.

#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <future>

#include "platform/unique_fd.h"
#include "tests/e2e/sandbox.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using platform::UniqueFd;

enum class Outcome { kConnected, kRefused, kTimedOut, kError };

// A dual-stack socket on a port of its own, probed over IPv4 or IPv6.
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

const fs::path kPfctl = fs::canonical("/sbin") / "pfctl";

using FirewallE2E = DaemonSuite<kNetwork>;

// `pfctl` (the stand-in when empty) and pf's files, on overlays of this namespace.
void setUpPf(const std::string& pfctl = "") {
  overlay(kPfctl.parent_path().string());
  if (pfctl.empty()) {
    fs::copy_file(KORVANE_PFCTL_PATH, kPfctl, fs::copy_options::overwrite_existing);
  } else {
    testsupport::writeFile(kPfctl, pfctl, 0755);
  }
  overlay("/etc");
  testsupport::writeFile("/etc/pf.conf", "# pf.conf of the test\nset skip on lo0");
  fs::create_directory("/etc/pf.anchors");
}

TEST_F(FirewallE2E, BlocksAndOpensPortsAndAKillAtAnyStepLeavesNothingAfterTheNextEnable) {
  ASSERT_EQ(run({"/bin/ip", "link", "set", "lo", "up"}).status, 0);
  setUpPf();
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
  EXPECT_EQ(helperctl({"--json", "firewall", "status"}).out,
            "{\"inbound-tcp\": [" + str(inTcp) + ", " + str(inTcp6) + "], \"outbound-tcp\": [" +
                str(outTcp) + ", " + str(outTcp6) + "], \"inbound-udp\": [" + str(inUdp) +
                "], \"outbound-udp\": [" + str(outUdp) + "]}\n");
  EXPECT_EQ(helperctl({"firewall", "status"}).out,
            "DIRECTION PROTOCOL PORTS\ninbound   tcp      " + str(inTcp) + ", " + str(inTcp6) +
                "\noutbound  tcp      " + str(outTcp) + ", " + str(outTcp6) +
                "\ninbound   udp      " + str(inUdp) + "\noutbound  udp      " + str(outUdp) +
                "\n");

  // Anyone may connect (polkit decides for those outside the group).
  struct stat socket {};
  ASSERT_EQ(::stat("/run/com.korvane.helper.socket", &socket), 0);
  EXPECT_EQ(socket.st_mode & 07777, 0666u);
  EXPECT_EQ(socket.st_gid, ::getgrnam("korvane-helper")->gr_gid);
  // A second daemon exits at start, without connecting to the running one.
  EXPECT_EQ(run({daemonPath()}).status, 1);
  EXPECT_EQ(daemon_->output(), "");

  r = helperctl({"firewall", "disable"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "YES\nKorvane Firewall Rules Flushed\n");
  for (const auto& [probe, outcome] : blocked) EXPECT_EQ(probe->outcome(), Outcome::kConnected);

  // A daemon killed at each step of an enable: the next enable leaves no
  // temporary file beside pf's files, and pf.conf loads with the block once.
  ::kill(daemon_->pid(), SIGTERM);
  ASSERT_EQ(daemon_->reap(), 0);
  // strace counts calls per thread: these are the request's own. It makes
  // fsync, rename, fsync of the folder for each file.
  const struct {
    const char* step;
    std::vector<std::string> strace;  // where strace kills the daemon
  } cases[] = {
      {"anchor written, not synced", {"-e", "inject=fsync:signal=KILL:when=1"}},
      {"anchor renamed, folder not synced", {"-e", "inject=fsync:signal=KILL:when=2"}},
      {"pf.conf read", {"-P", "/etc/pf.conf", "-e", "inject=openat:signal=KILL"}},
      {"pf.conf written, not synced", {"-e", "inject=fsync:signal=KILL:when=3"}},
      {"pf.conf synced, not renamed", {"-e", "inject=rename:signal=KILL:when=2"}},
  };
  for (const auto& c : cases) {
    testsupport::writeFile("/etc/pf.conf", "# pf.conf of the test\n");
    std::vector<std::string> strace = {"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null"};
    strace.insert(strace.end(), c.strace.begin(), c.strace.end());
    strace.push_back("--");
    for (const bool killed : {true, false}) {
      fs::remove("/run/com.korvane.helper.socket");
      Daemon daemon(false, killed ? strace : std::vector<std::string>{});
      r = helperctl({"firewall", "enable", "--inbound-tcp", "22"});
      ASSERT_EQ(r.status, killed ? 69 : 0) << c.step << r.out << r.err;
      if (killed) {
        EXPECT_EQ(daemon.reap(), 128 + SIGKILL) << c.step;
      }
    }
    for (const char* folder : {"/etc", "/etc/pf.anchors"}) {
      for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename();
        EXPECT_FALSE(name.starts_with(".pf.conf.") || name.starts_with(".com.korvane"))
            << c.step << ": " << entry.path();
      }
    }
    const std::string conf = readFile("/etc/pf.conf");
    EXPECT_EQ(conf.find("# Korvane Firewall Anchor"), conf.rfind("# Korvane Firewall Anchor"));
    EXPECT_EQ(run({kPfctl, "-f", "/etc/pf.conf"}).status, 0) << c.step << conf;
  }
}

// A pfctl that hangs until told is no target for a member (stopped, it would
// hold the firewall until its deadline), and a stop signal lets its request
// finish while newcomers are told that no helper runs.
TEST_F(FirewallE2E, ARunningPfctlIsNoTargetAndAStopLetsItsRequestFinish) {
  setUpPf("#!/bin/sh\necho $$ >/run/pfctl.pid\nuntil [ -e /run/pfctl.go ]; do sleep 0.05; done\n");
  std::future<RunResult> disable = std::async(std::launch::async, [] {
    return helperctl({"firewall", "disable"});
  });
  ASSERT_TRUE(eventually([] { return fs::exists("/run/pfctl.pid"); }));
  const std::string tool = std::to_string(std::stoi(readFile("/run/pfctl.pid")));
  EXPECT_EQ(memberStopsAndTerminates(tool), "NO\nNO\n");
  ASSERT_EQ(::kill(daemon_->pid(), SIGTERM), 0);
  EXPECT_TRUE(eventually([] { return helperctl({"terminate", "0"}).status == 69; }));
  EXPECT_TRUE(daemon_->running()) << "the request at work is not cut: " << daemon_->errors();
  testsupport::writeFile("/run/pfctl.go", "");
  const RunResult r = disable.get();
  EXPECT_EQ(r.out, "YES\nKorvane Firewall Rules Flushed\n") << r.err;
  EXPECT_EQ(daemon_->reap(), 0);
  EXPECT_NE(daemon_->errors().find("stopped on SIGTERM after "), std::string::npos)
      << daemon_->errors();
  EXPECT_NE(daemon_->errors().find(": every request finished\n"), std::string::npos);
}

}  // namespace
}  // namespace e2e
