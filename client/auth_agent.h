// The polkit authentication agent of korvane-helperctl. The daemon asks
// polkit whether a caller that is neither root nor a member of
// korvane-helper may make each request; when polkit wants a password, only
// an agent registered for the calling process can ask for it. On a
// terminal, korvane-helperctl therefore runs pkttyagent for itself, as
// pkexec does, so that the prompt appears where the command was typed.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace korvane {

inline constexpr const char* kTtyAgentPath = "/usr/bin/pkttyagent";
// The descriptor the agent gets for --notify-fd.
inline constexpr int kAgentNotifyFd = 3;
// How long the client waits for the agent to register before it goes on
// without it.
inline constexpr int kAgentStartSeconds = 10;

// True when `procSelfCgroup`, the text of /proc/self/cgroup, places the
// process in a logind session: its systemd cgroup path (the "0::" line, or
// the "name=systemd" one on a legacy hierarchy), past the leading slices, is
// a unit "session-ID.scope". This is the rule sd_pid_get_session follows,
// read without libsystemd (the client is linked statically). Pure.
bool inLoginSession(std::string_view procSelfCgroup);

// True when a request of this process may need a person to authenticate
// and a person can: standard input is a terminal, and the caller is neither
// root nor (by its supplementary groups) a member of korvane-helper.
bool mayNeedAuthentication();

// A running agent for this process. Move-only; the destructor ends it
// (SIGTERM, then SIGKILL after a second) and reaps it. Waiting relies on no
// one else reaping children (SIGCHLD not ignored). Main thread only.
class AuthAgent {
 public:
  // Starts `agentPath` --process <getpid()> --notify-fd 3 [--fallback], with
  // only standard input, output, error and descriptor 3 (a pipe's write end)
  // open, the caller's environment, its process group (so that the agent may
  // read the terminal), an empty signal mask, and the set-group-ID group
  // dropped (real, effective and saved gid the caller's real gid). Returns
  // once the agent has closed descriptor 3 (it is registered) or exited, or
  // after `waitSeconds`. Never fails: an agent that could not be started or
  // exited at once gives an AuthAgent that is not running(), and requests
  // then go without one.
  static AuthAgent start(bool fallback, const std::string& agentPath = kTtyAgentPath,
                         int waitSeconds = kAgentStartSeconds);
  // start() with --fallback when /proc/self/cgroup places this process in a
  // login session.
  static AuthAgent startForThisProcess();

  AuthAgent() = default;
  AuthAgent(AuthAgent&& other) noexcept;
  AuthAgent& operator=(AuthAgent&& other) noexcept;
  AuthAgent(const AuthAgent&) = delete;
  AuthAgent& operator=(const AuthAgent&) = delete;
  ~AuthAgent();

  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

 private:
  explicit AuthAgent(pid_t pid) : pid_(pid) {}
  void end();

  pid_t pid_ = -1;
};

}  // namespace korvane
