#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <list>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/error_text.h"
#include "platform/unique_fd.h"
#include "platform/unix_address.h"
#include "transport/message.h"
#include "transport/unix_connection.h"
#include "transport/xpc.h"

namespace transport {
namespace {

using platform::UniqueFd;

// The "CALL WHAT: REASON" text of the errno a failed call just left.
std::string errnoText(const char* call, const std::string& what) {
  return platform::callFailure(call, what, errno);
}

// Receiving credentials must be on before a connection's first byte can
// arrive; accepted sockets inherit the option from the listening socket, except
// one queued before the listening socket had it (the connection that woke a
// socket-activated daemon), so each accepted socket gets it too.
bool preparePassCred(int fd) {
  int one = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &one, sizeof one) == 0;
}

bool peerHungUp(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

class ListenerImpl final : public Listener {
 public:
  // `ownPath` names the socket when the listener bound it itself (empty for
  // one systemd handed over).
  ListenerImpl(UniqueFd socket, UniqueFd lock, const ListenerOptions& options, std::string ownPath)
      : fd_(std::move(socket)),
        lock_(std::move(lock)),
        options_(options),
        ownPath_(std::move(ownPath)) {}

  ~ListenerImpl() override {
    stopAccepting();
    std::unique_lock lock(mu_);
    for (auto& s : slots_) ::shutdown(s.fd.get(), SHUT_RDWR);
    ended_.wait(lock, [this] { return slots_.empty(); });
    closing_ = true;
    handOver_.notify_all();
    ended_.wait(lock, [this] { return workers_ == 0; });
  }

  void setDelegate(ListenerDelegate* delegate) override { delegate_ = delegate; }

  void resume() override {
    if (!acceptThread_.joinable()) acceptThread_ = std::thread([this] { acceptLoop(); });
  }

  void beginStop() override {
    stopAccepting();
    // A client that comes now is told at once that no helper runs, rather
    // than queueing until the stop is over: the path goes (while we hold
    // the instance lock no other instance can have put its own socket
    // there), those already queued are told the helper is busy, and the
    // socket is closed. A socket systemd handed over is left as it is.
    if (!ownPath_.empty()) {
      ::unlink(ownPath_.c_str());
      for (int fd; (fd = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
        const UniqueFd queued(fd);
        sendAllBy(queued.get(), frame(encodeBusy()), std::chrono::steady_clock::now());
      }
      fd_.reset();
    }
    std::lock_guard lock(mu_);
    stopBegan_ = std::chrono::steady_clock::now();
    for (auto& s : slots_) {
      if (s.state.idle && s.state.replied) ::shutdown(s.fd.get(), SHUT_RD);
    }
  }

  std::size_t waitUntilStopped(std::chrono::steady_clock::time_point deadline) override {
    std::unique_lock lock(mu_);
    // A new connection gets a moment for its first request, sent in the
    // same breath as its connect; one that keeps silent is closed after it.
    const auto newcomersEnd = stopBegan_ + kFirstRequestWait;
    for (;;) {
      const bool newcomersDone = std::chrono::steady_clock::now() >= newcomersEnd;
      if (newcomersDone) {
        for (auto& s : slots_) {
          if (s.state.idle) ::shutdown(s.fd.get(), SHUT_RD);
        }
      }
      if (slots_.empty()) return 0;
      const auto wake = newcomersDone ? deadline : std::min(deadline, newcomersEnd);
      if (ended_.wait_until(lock, wake) == std::cv_status::timeout && wake == deadline) {
        return slots_.size();
      }
    }
  }

 private:
  static constexpr std::chrono::seconds kFirstRequestWait{2};
  // Threads that served a connection wait this long for the next one, at
  // most this many at a time: a client that connects again soon (every
  // short command, a live view's every refresh) finds a thread with its
  // stack and memory arena ready, instead of the cost of a new one.
  static constexpr std::chrono::seconds kWorkerLinger{30};
  static constexpr std::size_t kMaxIdleWorkers = 4;

  struct Slot {
    UniqueFd fd;
    uid_t uid = 0;
    ConnectionState state;
  };
  using SlotRef = std::list<Slot>::iterator;

  // Ends the accept loop. Connections still queued on the socket stay there:
  // with socket activation systemd keeps the socket, and the next instance
  // takes them.
  void stopAccepting() {
    if (stopping_.exchange(true)) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
    if (acceptThread_.joinable()) acceptThread_.join();
  }

  void acceptLoop() {
    while (!stopping_) {
      // The listening socket may be systemd's, shared with the next
      // instance: it is never shut down, so the loop waits on it and on
      // the wake-up descriptor together.
      pollfd ready[2] = {{fd_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
      if (::poll(ready, 2, -1) < 0 && errno != EINTR) {
        logError(errnoText("poll", "on the listening socket"));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        continue;
      }
      if (stopping_) return;
      if ((ready[0].revents & POLLIN) == 0) continue;
      // The listening socket is non-blocking: a connection that gave up
      // between the poll and here must not leave the loop deaf to a stop.
      const int fd = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        admit(UniqueFd(fd));
        continue;
      }
      if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) continue;
      if (errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM) {
        logError(errnoText("accept4", "on the listening socket"));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  // Gives the connection a slot and a thread of its own (an idle one, or a
  // new one when none is idle), or tells it that there is no room. A
  // connection keeps its thread until it ends, however long its requests
  // wait (a person typing a password): the next connection never waits for
  // a thread, and the slots bound the threads at work.
  void admit(UniqueFd connection) noexcept {
    try {
      ucred cred{};
      socklen_t len = sizeof cred;
      if (::getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
          !preparePassCred(connection.get())) {
        return;
      }
      std::unique_lock lock(mu_);
      if (!hasRoomLocked(cred.uid)) {
        lock.unlock();
        // The socket's buffer is empty: the frame goes out without waiting.
        sendAllBy(connection.get(), frame(encodeBusy()), std::chrono::steady_clock::now());
        logError("no free connection slot for uid " + std::to_string(cred.uid) + " (pid " +
                 std::to_string(cred.pid) + "); told it is busy and closed it");
        return;
      }
      const SlotRef slot = slots_.emplace(slots_.end());
      slot->fd = std::move(connection);
      slot->uid = cred.uid;
      if (idleWorkers_ > handedOver_.size()) {
        handedOver_.push_back(slot);
        handOver_.notify_one();
        return;
      }
      try {
        std::thread([this, slot] { work(slot); }).detach();
        ++workers_;
      } catch (const std::system_error&) {
        slots_.erase(slot);
        logError("cannot start a thread for a new connection; closed");
      }
    } catch (const std::exception& e) {
      logError(std::string("a new connection was closed: ") + e.what());
    }
  }

  // Whether a connection of `uid` may have a slot.
  bool hasRoomLocked(uid_t uid) {
    const std::size_t all = options_.maxConnections;
    if (fullLocked([](const Slot&) { return true; }, all)) return false;
    if (uid == 0) return true;
    const std::size_t shared = all - std::min(all, options_.keptForRoot);
    return !fullLocked([](const Slot& s) { return s.uid != 0; }, shared) &&
           !fullLocked([uid](const Slot& s) { return s.uid == uid; },
                       options_.maxConnectionsPerUser);
  }

  // Whether the connections that `counts` picks hold `limit` slots or more.
  // At the limit, a connection whose peer has hung up while it had no
  // request at work holds its slot no longer, whether or not its thread has
  // woken up to that yet: a client that ends and starts again at once must
  // find its slot free.
  template <typename Pick>
  bool fullLocked(Pick counts, std::size_t limit) const {
    auto held = static_cast<std::size_t>(std::count_if(slots_.begin(), slots_.end(), counts));
    if (held < limit) return false;
    for (const Slot& s : slots_) {
      if (counts(s) && s.state.idle && peerHungUp(s.fd.get())) --held;
    }
    return held >= limit;
  }

  // A worker thread, detached: serves `first`, then each connection handed
  // over to it while it is idle, until it has waited kWorkerLinger for one or
  // enough others are idle. The destructor waits for every worker to end.
  void work(SlotRef first) {
    std::optional<SlotRef> slot = first;
    std::unique_lock lock(mu_, std::defer_lock);
    while (slot) {
      serve(*slot);
      lock.lock();
      slot.reset();
      if (!closing_ && idleWorkers_ < kMaxIdleWorkers) {
        ++idleWorkers_;
        handOver_.wait_for(lock, kWorkerLinger,
                           [this] { return closing_ || !handedOver_.empty(); });
        --idleWorkers_;
        if (!handedOver_.empty()) {
          slot = handedOver_.front();
          handedOver_.pop_front();
        }
      }
      if (slot) lock.unlock();
    }
    if (--workers_ == 0) ended_.notify_all();
  }

  // Serves one connection on a worker thread; the destructor waits for the
  // slot to go.
  void serve(SlotRef slot) {
    serveConnection(slot->fd.get(), *this, delegate_, options_, slot->state, stopping_);
    ::shutdown(slot->fd.get(), SHUT_RDWR);  // the peer sees the end, the slot is free
    slot->state.idle = true;
    std::unique_lock lock(mu_);
    if (slots_.size() == 1) {
      // A burst of connections leaves freed memory in the arenas of all its
      // threads; the last connection to end gives it back to the system.
      lock.unlock();
      ::malloc_trim(0);
      lock.lock();
    }
    slots_.erase(slot);
    if (slots_.empty()) ended_.notify_all();
  }

  UniqueFd fd_;
  UniqueFd lock_;  // the instance lock, held for the listener's life
  const ListenerOptions options_;
  const std::string ownPath_;
  ListenerDelegate* delegate_ = nullptr;
  std::atomic<bool> stopping_{false};
  UniqueFd wake_{::eventfd(0, EFD_CLOEXEC)};
  std::chrono::steady_clock::time_point stopBegan_;
  std::thread acceptThread_;
  std::mutex mu_;
  std::condition_variable ended_;
  std::list<Slot> slots_;
  // The worker threads, those of them waiting for a connection, and the
  // connections handed over to those but not yet taken.
  std::size_t workers_ = 0;
  std::size_t idleWorkers_ = 0;
  std::deque<SlotRef> handedOver_;
  std::condition_variable handOver_;
  bool closing_ = false;
};

// One instance per service: whoever holds this lock runs it. The kernel
// drops the lock however the process ends. The file stays, since removing
// it would let two processes each lock a file of their own.
UniqueFd lockInstance(const std::string& path, std::string* error) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) {
    *error = errnoText("open", path);
  } else if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? "another instance is running (it holds " + path + ")"
                                  : errnoText("flock", path);
    fd.reset();
  }
  return fd;
}

// systemd socket activation: LISTEN_PID names us and LISTEN_FDS >= 1; the
// first socket is descriptor 3.
UniqueFd activatedSocket() {
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  if (pid == nullptr || fds == nullptr) return {};
  if (std::strtol(pid, nullptr, 10) != ::getpid() || std::strtol(fds, nullptr, 10) < 1) return {};
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  constexpr int kFirst = 3;
  int type = 0, listening = 0, domain = 0;
  socklen_t len = sizeof type;
  if (::getsockopt(kFirst, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) return {};
  len = sizeof listening;
  if (::getsockopt(kFirst, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || !listening) {
    return {};
  }
  len = sizeof domain;
  if (::getsockopt(kFirst, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0 || domain != AF_UNIX) {
    return {};
  }
  ::fcntl(kFirst, F_SETFD, FD_CLOEXEC);
  return UniqueFd(kFirst);
}

// The socket is bound under a temporary name, given its owner and mode, and
// renamed over the final path, so the path never names a socket with the
// wrong access and a stale socket is replaced in one step. It listens only
// once its access is set.
UniqueFd bindSocket(const std::string& path, std::optional<gid_t> group, std::optional<mode_t> mode,
                    std::string* error) {
  const std::string temp = path + "." + std::to_string(::getpid()) + ".tmp";
  sockaddr_un addr;
  if (!platform::unixSocketAddress(temp, &addr)) {
    *error = "socket path too long: " + path;
    return {};
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd || !preparePassCred(fd.get())) {
    *error = errnoText("socket", "for " + path);
    return {};
  }
  ::unlink(temp.c_str());
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = errnoText("bind", temp);
    return {};
  }
  if (::chown(temp.c_str(), 0, group.value_or(0)) != 0 ||
      ::chmod(temp.c_str(), mode.value_or(group ? 0660 : 0600)) != 0 ||
      ::listen(fd.get(), SOMAXCONN) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    *error = errnoText("chown/chmod/listen/rename", path);
    ::unlink(temp.c_str());
    return {};
  }
  return fd;
}

// The signals that stop the daemon: systemd's stop and restart (SIGTERM), a
// closed terminal (SIGHUP) and Ctrl-C (SIGINT).
sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : {SIGTERM, SIGHUP, SIGINT}) sigaddset(&set, s);
  return set;
}

// The next stop signal, waiting at most `timeout` (nullptr: for ever); 0 when none came.
int nextSignal(const sigset_t& set, const timespec* timeout) {
  for (;;) {
    const int s = timeout ? ::sigtimedwait(&set, nullptr, timeout) : ::sigwaitinfo(&set, nullptr);
    if (s > 0) return s;
    if (errno != EINTR) return 0;
  }
}

std::unique_ptr<Listener> makeListener(const std::string& folder, const std::string& name,
                                       const ListenerOptions& options, bool mayBeActivated,
                                       std::string* error) {
  UniqueFd lock = lockInstance(folder + "/" + name + ".lock", error);
  if (!lock) return nullptr;
  UniqueFd fd = mayBeActivated ? activatedSocket() : UniqueFd();
  if (fd && !preparePassCred(fd.get())) {
    *error = errnoText("setsockopt(SO_PASSCRED)", "on the activated socket");
    return nullptr;
  }
  std::string ownPath;
  if (!fd) {
    ownPath = folder + "/" + name + ".socket";
    fd = bindSocket(ownPath, options.socketGroup, options.socketMode, error);
  }
  if (!fd) return nullptr;
  if (::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK) != 0) {
    *error = errnoText("fcntl(O_NONBLOCK)", "on the listening socket");
    return nullptr;
  }
  return std::make_unique<ListenerImpl>(std::move(fd), std::move(lock), options,
                                        std::move(ownPath));
}

}  // namespace

void ReplyBlock::operator()(common::Array parameters) {
  assert(!called_ && "reply block called twice");
  if (called_) return;
  called_ = true;
  sender_(std::move(parameters));
}

void ReplyBlock::refuse() {
  assert(!called_ && "reply block called twice");
  if (called_) return;
  called_ = true;
  if (refuser_) refuser_();
}

std::string Listener::socketPathForService(const std::string& name) {
  return "/run/" + name + ".socket";
}

std::unique_ptr<Listener> Listener::initWithMachServiceName(const std::string& name,
                                                            const ListenerOptions& options,
                                                            std::string* error) {
  return makeListener("/run", name, options, true, error);
}

std::unique_ptr<Listener> Listener::listenInFolder(const std::string& folder,
                                                   const std::string& name,
                                                   const ListenerOptions& options,
                                                   std::string* error) {
  return makeListener(folder, name, options, false, error);
}

void blockStopSignals() {
  sigset_t stops = stopSignals();
  ::pthread_sigmask(SIG_BLOCK, &stops, nullptr);
}

int runMainRunLoop(Listener& listener, std::chrono::milliseconds grace) {
  const sigset_t stops = stopSignals();
  const int first = nextSignal(stops, nullptr);
  const auto began = std::chrono::steady_clock::now();
  listener.beginStop();
  const auto deadline = began + grace;
  std::size_t open = 0;
  for (;;) {
    open = listener.waitUntilStopped(
        std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(100)));
    if (open == 0 || std::chrono::steady_clock::now() >= deadline) break;
    const timespec now{};
    if (const int second = nextSignal(stops, &now); second > 0) {
      logError(std::string("stopping at once on a second SIG") + sigabbrev_np(second) + "; " +
               std::to_string(open) + " connection(s) cut");
      return 1;
    }
  }
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - began);
  logError(std::string("stopped on SIG") + sigabbrev_np(first) + " after " +
           std::to_string(took.count()) + " ms: " +
           (open == 0 ? std::string("every request finished")
                      : std::to_string(open) + " connection(s) still at work were cut"));
  return 0;
}

}  // namespace transport
