// End-to-end support: the real daemon in a private mount namespace (tmpfs
// on /run, optional overlays over system folders), optionally in a private
// network or pid namespace, and the real client run as a child process.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testsupport/testsupport.h"

namespace e2e {

using testsupport::readFile;
using testsupport::run;
using testsupport::RunResult;
using testsupport::TempDir;

// korvane-helperctl with `args`, as `uid` when given.
RunResult helperctl(const std::vector<std::string>& args, std::optional<uid_t> uid = std::nullopt);

std::string daemonPath();
std::string helperctlPath();

enum Namespace { kMountOnly = 0, kNetwork = 1, kPid = 2 };

// Moves the calling process into new namespaces: always a mount namespace
// with private propagation and a tmpfs on /run, so nothing mounted here
// reaches the host; with kNetwork a network namespace; with kPid a pid
// namespace for the children started from now on (the first of them, which
// must be the Daemon, becomes its init: a signal sent to "every process"
// from inside then reaches only the test's own processes). Returns false
// (and the reason) when that is not possible.
bool enterPrivateNamespaces(int namespaces, std::string* why);

// Children started from now on belong to the caller's own pid namespace
// again. Needed after kPid once the Daemon has ended: a pid namespace whose
// init is gone takes no new process.
bool leavePrivatePidNamespace(std::string* why);

// The pid of the host process `hostPid` as its own (innermost) pid
// namespace numbers it.
pid_t innermostPid(pid_t hostPid);

// Mounts a writable overlay over `target` (which must exist), so tests can
// add files there without touching the host's copy. Returns the folder
// whose contents appear on top.
std::filesystem::path overlay(const std::string& target);

// The daemon process: started with its real constants, in a session of its
// own, stdout captured; killed and reaped on destruction.
class Daemon {
 public:
  // With `ownProc`, the daemon mounts a /proc of its own pid namespace (in a
  // mount namespace nested in the test's), so that it resolves its peers'
  // pids as they number themselves; the test keeps the host's /proc.
  explicit Daemon(bool ownProc = false);
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  bool running() const;
  // Everything the daemon wrote to standard output so far.
  std::string output() const;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::filesystem::path outputFile_;
};

// A process a test starts (argv[0] an absolute path), optionally as another
// user; the constructor returns once the program runs. Killed and reaped on
// destruction.
class StartedProcess {
 public:
  explicit StartedProcess(const std::vector<std::string>& argv,
                          std::optional<uid_t> uid = std::nullopt);
  ~StartedProcess();
  StartedProcess(const StartedProcess&) = delete;
  StartedProcess& operator=(const StartedProcess&) = delete;
  pid_t pid() const { return pid_; }
  // Waits for it to end; its wait status.
  int reap();

 private:
  pid_t pid_ = -1;
};

// A test with the real daemon in a private mount namespace, started before
// each test and ended after it.
class DaemonTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(enterPrivateNamespaces(kMountOnly, &why)) << why << " (end-to-end tests need root)";
    daemon_ = std::make_unique<Daemon>();
    ASSERT_TRUE(daemon_->running());
  }
  void TearDown() override { daemon_.reset(); }

  std::unique_ptr<Daemon> daemon_;
};

}  // namespace e2e
