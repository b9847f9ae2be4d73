#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/error_text.h"
#include "platform/fd_io.h"
#include "platform/pidfd.h"
#include "platform/subprocess.h"

extern char** environ;

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline` for poll(), rounded up so that a wait
// never ends just before the deadline and spins.
int pollTimeout(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  constexpr std::int64_t kDay = std::int64_t{24} * 3600 * 1000;
  return static_cast<int>(ms > kDay ? kDay : ms);
}

ExitStatus statusFrom(int raw) {
  if (WIFSIGNALED(raw)) return {true, WTERMSIG(raw)};
  return {false, WEXITSTATUS(raw)};
}

// Moves `fd` to a number above the standard streams, so that installing the
// child's streams with dup2 can never overwrite it (possible when the daemon
// runs with one of 0, 1, 2 closed).
bool liftAboveStdStreams(UniqueFd& fd) {
  if (fd.get() > STDERR_FILENO) return true;
  const int lifted = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (lifted < 0) return false;
  fd.reset(lifted);
  return true;
}

struct FileActions {
  posix_spawn_file_actions_t actions;
  FileActions() { posix_spawn_file_actions_init(&actions); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
};

struct SpawnAttributes {
  posix_spawnattr_t attributes;
  SpawnAttributes() { posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

int addStream(posix_spawn_file_actions_t* actions, ChildStream stream, int target, int pipeEnd) {
  switch (stream) {
    case ChildStream::kInherit:
      return 0;
    case ChildStream::kNull:
      return posix_spawn_file_actions_addopen(actions, target, "/dev/null",
                                              target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
    case ChildStream::kPipe:
      return posix_spawn_file_actions_adddup2(actions, pipeEnd, target);
  }
  return EINVAL;
}

// Each pipe to a child: the child's end (dup2-ed onto its stream) and ours.
struct Pipe {
  UniqueFd child, ours;
};

// A pipe whose data flows to the child when `toChild`, both ends above the
// standard streams. Returns 0 or an errno value.
int makePipe(bool toChild, Pipe* p) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  p->child.reset(fds[toChild ? 0 : 1]);
  p->ours.reset(fds[toChild ? 1 : 0]);
  return liftAboveStdStreams(p->child) && liftAboveStdStreams(p->ours) ? 0 : errno;
}

// The child's three streams and nothing else. Returns 0 or an errno value.
int setUpStreams(posix_spawn_file_actions_t* actions, const SpawnOptions& options, const Pipe& in,
                 const Pipe& out) {
  int err;
  if ((err = addStream(actions, options.input, STDIN_FILENO, in.child.get())) != 0 ||
      (err = addStream(actions, options.output, STDOUT_FILENO, out.child.get())) != 0 ||
      (err = addStream(actions, options.error, STDERR_FILENO, -1)) != 0) {
    return err;
  }
  // Our own descriptors are all close-on-exec, but a library may have opened
  // one without the flag; the tool must not hold sockets or pipes of the daemon.
  return posix_spawn_file_actions_addclosefrom_np(actions, STDERR_FILENO + 1);
}

// The tool starts with default dispositions and nothing blocked, whatever
// the daemon and the calling thread have set up (an ignored SIGPIPE or a
// blocked SIGTERM would otherwise carry over into the tool). Returns 0 or an
// errno value.
int setUpSignalsAndGroup(posix_spawnattr_t* attributes) {
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);  // glibc leaves out its internal signals
  int err;
  if ((err = posix_spawnattr_setsigmask(attributes, &none)) != 0 ||
      (err = posix_spawnattr_setsigdefault(attributes, &all)) != 0) {
    return err;
  }
  // A group of its own, led by the tool: a tool that outlives its deadline
  // is killed with whatever it started, and a Ctrl-C meant for a daemon run
  // in a terminal does not reach it.
  if ((err = posix_spawnattr_setpgroup(attributes, 0)) != 0) return err;
  return posix_spawnattr_setflags(
      attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
}

}  // namespace

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      input_(std::move(other.input_)),
      output_(std::move(other.output_)),
      pidfd_(std::move(other.pidfd_)) {}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    killAndReap();
    pid_ = std::exchange(other.pid_, -1);
    input_ = std::move(other.input_);
    output_ = std::move(other.output_);
    pidfd_ = std::move(other.pidfd_);
  }
  return *this;
}

Child::~Child() { killAndReap(); }

Child Child::spawn(const std::string& path, const std::vector<std::string>& arguments,
                   const SpawnOptions& options, std::string* err) {
  const auto fail = [&](const char* call, int error) {
    if (err != nullptr) *err = callFailure(call, path, error);
    return Child();
  };
  if (err != nullptr) err->clear();
  if (options.error == ChildStream::kPipe) return fail("spawn", EINVAL);

  Pipe in, out;
  FileActions fa;
  SpawnAttributes sa;
  int error = 0;
  if ((options.input == ChildStream::kPipe && (error = makePipe(true, &in)) != 0) ||
      (options.output == ChildStream::kPipe && (error = makePipe(false, &out)) != 0)) {
    return fail("pipe2", error);
  }
  if ((error = setUpStreams(&fa.actions, options, in, out)) != 0 ||
      (error = setUpSignalsAndGroup(&sa.attributes)) != 0) {
    return fail("posix_spawn setup", error);
  }

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  // glibc's posix_spawn reports a failed exec (missing file, no permission, a
  // directory, a bad format) as its own return value, so -1 from the runner
  // covers every case in which the tool never ran.
  pid_t pid = -1;
  error = ::posix_spawn(&pid, path.c_str(), &fa.actions, &sa.attributes, argv.data(), environ);
  if (error != 0) return fail("posix_spawn", error);
  return Child(pid, std::move(in.ours), std::move(out.ours));
}

bool Child::writeInput(std::string_view bytes) {
  UniqueFd fd = std::move(input_);
  return fd && writeAll(fd.get(), bytes);
}

ReadOutcome Child::readOutput(std::string& into, Clock::time_point deadline, std::size_t maxBytes) {
  UniqueFd fd = std::move(output_);
  if (!fd) return ReadOutcome::kFailed;
  char buffer[64 * 1024];
  for (;;) {
    pollfd p{fd.get(), POLLIN, 0};
    const int ready = ::poll(&p, 1, pollTimeout(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return ReadOutcome::kFailed;
    }
    if (ready == 0) return ReadOutcome::kTimedOut;
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return ReadOutcome::kFailed;
    }
    if (n == 0) return ReadOutcome::kEndOfFile;
    if (static_cast<std::size_t>(n) > maxBytes - std::min(maxBytes, into.size())) {
      return ReadOutcome::kTooLarge;
    }
    into.append(buffer, static_cast<std::size_t>(n));
  }
}

std::optional<ExitStatus> Child::wait() {
  if (!valid()) return std::nullopt;
  int raw = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &raw, 0);
  } while (r < 0 && errno == EINTR);
  pid_ = -1;
  pidfd_.reset();
  if (r < 0) return std::nullopt;
  return statusFrom(raw);
}

std::optional<ExitStatus> Child::waitUntil(Clock::time_point deadline) {
  if (!valid()) return std::nullopt;
  // The pid cannot be reused before we reap it, so opening the pidfd now
  // names this very child.
  if (!pidfd_) pidfd_ = pidfdOpen(pid_);
  for (;;) {
    int raw = 0;
    const pid_t r = ::waitpid(pid_, &raw, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      pidfd_.reset();
      return statusFrom(raw);
    }
    if (r < 0 && errno != EINTR) {
      pid_ = -1;
      pidfd_.reset();
      return std::nullopt;
    }
    const int timeout = pollTimeout(deadline);
    if (timeout == 0) return std::nullopt;
    // Without a pidfd (out of descriptors) the exit is looked for every 10 ms.
    pollfd p{pidfd_.get(), POLLIN, 0};
    if (::poll(&p, pidfd_ ? 1 : 0, pidfd_ ? timeout : std::min(timeout, 10)) < 0 &&
        errno != EINTR) {
      return std::nullopt;
    }
  }
}

void Child::killAndReap() {
  output_.reset();
  if (!valid()) return;
  // Safe by pid: an unreaped child keeps its pid, and so the group it leads
  // keeps that number too. The group takes in what the child started.
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  wait();
}

}  // namespace platform
