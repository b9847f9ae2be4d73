#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/error_text.h"
#include "platform/fd_io.h"
#include "platform/pidfd.h"
#include "platform/unique_fd.h"
#include "platform/unix_address.h"
#include "transport/message.h"
#include "transport/xpc.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77  // Linux 6.5; missing from Debian 12's headers
#endif

namespace transport {
namespace {

using platform::errorText;
using platform::sendAll;
using platform::UniqueFd;

// Connections served at once, each with a thread. Any user may run the
// genuine client (and stop it once admitted), so each user other than root
// gets only a share: one user cannot lock the others out.
constexpr std::size_t kMaxConnections = 64;
constexpr std::size_t kMaxConnectionsPerUser = 8;
// A client that stops reading its replies must not hold a thread forever.
constexpr int kSendTimeoutSeconds = 30;

void logError(const std::string& text) {
  // Standard output belongs to the admission diagnostics; the transport's own
  // notes go to standard error, one write per line.
  std::string line = "com.korvane.helper: " + text + "\n";
  [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

std::string errnoText(const char* call, const std::string& what) {
  return std::string(call) + " " + what + ": " + errorText(errno);
}

bool sendFrame(int fd, std::string_view body) { return sendAll(fd, frame(body)); }

class ConnectionImpl final : public Connection {
 public:
  explicit ConnectionImpl(int fd) : fd_(fd) {}

  const AuditToken* auditToken() const override { return hasToken_ ? &token_ : nullptr; }
  void setExportedInterface(std::shared_ptr<const Interface> interface) override {
    interface_ = std::move(interface);
  }
  void setExportedObject(std::unique_ptr<ExportedObject> object) override {
    object_ = std::move(object);
  }
  void resume() override { resumed_ = true; }

  // Peer identity as of connect(), plus a pidfd that names that very
  // process. SO_PEERPIDFD is exact; before Linux 6.5 fall back to pidfd_open
  // on the pid, then make sure the peer has not hung up, since a pid that
  // was freed and reused would belong to a process without this socket.
  // Without SO_PEERCRED there is no token at all; a peer that is gone, or
  // whose pid this namespace cannot see, gets a token without a pidfd, which
  // names no code.
  void establishToken() {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return;
    token_ = AuditToken{cred.pid, cred.uid, cred.gid, -1};
    hasToken_ = true;
    if (cred.pid <= 0) return;
    int pidfd = -1;
    len = sizeof pidfd;
    if (::getsockopt(fd_, SOL_SOCKET, SO_PEERPIDFD, &pidfd, &len) == 0) {
      pidfd_.reset(pidfd);
    } else {
      // Only a kernel without the option falls back. On kernels that have
      // it, EINVAL means the peer is already gone, and its pid may be
      // someone else's by now.
      if (errno != ENOPROTOOPT) return;
      pidfd_ = platform::pidfdOpen(cred.pid);
      char probe;
      if (!pidfd_ || ::recv(fd_, &probe, 1, MSG_PEEK | MSG_DONTWAIT) == 0) {
        pidfd_.reset();
        return;
      }
    }
    token_.pidfd = pidfd_.get();
  }

  // Runs the connection to its end on the calling thread.
  void serve(Listener& listener, ListenerDelegate* delegate) {
    establishToken();
    if (delegate == nullptr || !delegate->shouldAcceptNewConnection(listener, *this)) return;
    if (!resumed_ || !interface_ || !object_ || !hasToken_ || token_.pidfd < 0) return;
    // A process may queue requests and then exec a genuine client, which
    // would pass the signature check. Nothing may arrive before admission.
    int pending = 0;
    if (::ioctl(fd_, FIONREAD, &pending) != 0 || pending != 0) {
      logError("connection from pid " + std::to_string(token_.pid) +
               " sent data before it was admitted; closed");
      return;
    }
    if (!sendFrame(fd_, encodeAdmitted())) return;
    std::string body;
    while (readRequestFrame(body)) {
      if (!platform::pidfdAlive(token_.pidfd)) return;
      if (!dispatch(body)) return;
    }
  }

 private:
  enum class Read { kOk, kEnd };

  // Reads exactly `size` bytes. Every chunk carries the credentials of its
  // writer (SO_PASSCRED on the socket); a chunk from any process other than
  // the admitted one (a forked child, a process the socket was passed to)
  // ends the connection.
  bool receiveExactly(char* out, std::size_t size) {
    while (size > 0) {
      iovec iov{out, size};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
      msghdr msg{};
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      ssize_t n = ::recvmsg(fd_, &msg, MSG_CMSG_CLOEXEC);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      if (!fromAdmittedPeer(msg)) {
        logError("request on the connection of pid " + std::to_string(token_.pid) +
                 " came from another process; closed");
        return false;
      }
      out += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  bool fromAdmittedPeer(msghdr& msg) const {
    if (msg.msg_flags & MSG_CTRUNC) return false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
          c->cmsg_len == CMSG_LEN(sizeof(ucred))) {
        ucred cred;
        std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
        // The pid alone: SCM_CREDENTIALS carries the real uid and gid where
        // SO_PEERCRED gave the effective ones, and the pidfd, checked per
        // request, rules out a reused pid.
        return cred.pid == token_.pid;
      }
    }
    return false;
  }

  bool readRequestFrame(std::string& body) {
    unsigned char header[kFrameHeaderSize];
    if (!receiveExactly(reinterpret_cast<char*>(header), sizeof header)) return false;
    const std::uint32_t size = parseFrameHeader(header);
    if (size == 0 || size > kMaxRequestBody) {
      logError("frame of " + std::to_string(size) + " bytes refused");
      return false;
    }
    body.resize(size);
    return receiveExactly(body.data(), size);
  }

  // Checks one request against the interface, hands it to the object and
  // sends its one reply. False ends the connection.
  bool dispatch(const std::string& body) {
    auto request = decodeRequest(body);
    if (!request) {
      logError("malformed request frame; connection closed");
      return false;
    }
    const MethodDescription* method = interface_->find(request->selector);
    if (method == nullptr || method->typeEncoding != request->typeEncoding ||
        request->arguments.size() != method->signature.arguments.size()) {
      logError("request for an unknown selector or with a wrong encoding; connection closed");
      return false;
    }
    for (std::size_t i = 0; i < request->arguments.size(); ++i) {
      if (!fits(request->arguments[i], method->signature.arguments[i])) {
        logError("request arguments do not fit " + method->selector + "; connection closed");
        return false;
      }
    }
    bool sent = false;
    ReplyBlock reply([&](common::Array params) {
      sent = sendFrame(fd_, encodeReply(Reply{request->id, std::move(params)}));
    });
    Invocation invocation{*method, std::move(request->arguments), reply};
    object_->invoke(invocation);
    if (!reply.called()) {
      logError(method->selector + " returned without replying; connection closed");
      return false;
    }
    return sent;
  }

  int fd_;
  AuditToken token_;
  bool hasToken_ = false;
  UniqueFd pidfd_;
  std::shared_ptr<const Interface> interface_;
  std::unique_ptr<ExportedObject> object_;
  bool resumed_ = false;
};

class ListenerImpl final : public Listener {
 public:
  explicit ListenerImpl(UniqueFd fd) : fd_(std::move(fd)) {}

  ~ListenerImpl() override {
    stopping_ = true;
    ::shutdown(fd_.get(), SHUT_RDWR);  // wakes accept()
    if (acceptThread_.joinable()) acceptThread_.join();
    std::list<Slot> slots;
    {
      std::lock_guard lock(mu_);
      for (auto& s : slots_) ::shutdown(s.fd.get(), SHUT_RDWR);
      slots.splice(slots.end(), slots_);
    }
    for (auto& s : slots) s.thread.join();
  }

  void setDelegate(ListenerDelegate* delegate) override { delegate_ = delegate; }

  void resume() override {
    if (!acceptThread_.joinable()) acceptThread_ = std::thread([this] { acceptLoop(); });
  }

 private:
  struct Slot {
    UniqueFd fd;  // closed when the slot is reaped, so its number is never reused early
    uid_t uid = 0;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void acceptLoop() {
    while (!stopping_) {
      int fd = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (stopping_) return;
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          continue;
        }
        if (errno == EINVAL) return;  // the socket was shut down
        logError(errnoText("accept4", "on the listening socket"));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        continue;
      }
      UniqueFd conn(fd);
      ucred cred{};
      socklen_t len = sizeof cred;
      if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) continue;
      // A connection queued before the listening socket had SO_PASSCRED (the
      // one that woke a socket-activated daemon) did not inherit it.
      int one = 1;
      if (::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &one, sizeof one) != 0) continue;
      std::lock_guard lock(mu_);
      reapLocked();
      if (slots_.size() >= kMaxConnections) {
        logError("all " + std::to_string(kMaxConnections) +
                 " connections are in use; closed a new one from pid " + std::to_string(cred.pid));
        continue;
      }
      if (cred.uid != 0 && std::count_if(slots_.begin(), slots_.end(), [&](const Slot& s) {
                             return s.uid == cred.uid;
                           }) >= static_cast<std::ptrdiff_t>(kMaxConnectionsPerUser)) {
        logError("uid " + std::to_string(cred.uid) + " already holds " +
                 std::to_string(kMaxConnectionsPerUser) +
                 " connections; closed a new one from pid " + std::to_string(cred.pid));
        continue;
      }
      timeval timeout{kSendTimeoutSeconds, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
      Slot& slot = slots_.emplace_back();
      slot.fd = std::move(conn);
      slot.uid = cred.uid;
      try {
        slot.thread = std::thread([this, &slot] {
          {
            ConnectionImpl connection(slot.fd.get());
            connection.serve(*this, delegate_);
          }
          ::shutdown(slot.fd.get(), SHUT_RDWR);  // the peer sees the end now
          slot.done = true;
        });
      } catch (const std::system_error&) {
        logError("cannot start a thread for a new connection; closed");
        slots_.pop_back();
      }
    }
  }

  void reapLocked() {
    for (auto it = slots_.begin(); it != slots_.end();) {
      if (it->done) {
        it->thread.join();
        it = slots_.erase(it);
      } else {
        ++it;
      }
    }
  }

  UniqueFd fd_;
  ListenerDelegate* delegate_ = nullptr;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  std::mutex mu_;
  std::list<Slot> slots_;
};

// Receiving credentials must be on before a connection's first byte can
// arrive; accepted sockets inherit the option from the listening socket.
bool preparePassCred(int fd) {
  int one = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &one, sizeof one) == 0;
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

// A socket file that still answers belongs to a live daemon; one that does
// not is left over from an earlier run and may be replaced.
bool someoneListensAt(const std::string& path) {
  sockaddr_un addr;
  if (!platform::unixSocketAddress(path, &addr)) return false;
  UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!probe) return false;
  return ::connect(probe.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

void ReplyBlock::operator()(common::Array parameters) {
  assert(!called_ && "reply block called twice");
  if (called_) return;
  called_ = true;
  sender_(std::move(parameters));
}

std::string Listener::socketPathForService(const std::string& name) {
  return "/run/" + name + ".socket";
}

std::unique_ptr<Listener> Listener::initWithMachServiceName(const std::string& name,
                                                            std::string* error) {
  if (UniqueFd fd = activatedSocket()) {
    if (!preparePassCred(fd.get())) {
      *error = errnoText("setsockopt(SO_PASSCRED)", "on the activated socket");
      return nullptr;
    }
    return std::make_unique<ListenerImpl>(std::move(fd));
  }
  return listenAtPath(socketPathForService(name), error);
}

// The socket is bound under a temporary name, given mode 0666, and renamed
// over the final path, so the path never names a socket with the wrong mode
// and a stale socket is replaced in one step.
std::unique_ptr<Listener> Listener::listenAtPath(const std::string& path, std::string* error) {
  if (someoneListensAt(path)) {
    *error = "another instance already listens on " + path;
    return nullptr;
  }
  const std::string temp = path + "." + std::to_string(::getpid()) + ".tmp";
  sockaddr_un addr;
  if (!platform::unixSocketAddress(temp, &addr)) {
    *error = "socket path too long: " + path;
    return nullptr;
  }
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) {
    *error = errnoText("socket", "for " + path);
    return nullptr;
  }
  if (!preparePassCred(fd.get())) {
    *error = errnoText("setsockopt(SO_PASSCRED)", "for " + path);
    return nullptr;
  }
  ::unlink(temp.c_str());
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = errnoText("bind", temp);
    return nullptr;
  }
  if (::chmod(temp.c_str(), 0666) != 0 || ::listen(fd.get(), SOMAXCONN) != 0 ||
      ::rename(temp.c_str(), path.c_str()) != 0) {
    *error = errnoText("chmod/listen/rename", path);
    ::unlink(temp.c_str());
    return nullptr;
  }
  return std::make_unique<ListenerImpl>(std::move(fd));
}

void runMainRunLoop() {
  for (;;) ::pause();
}

}  // namespace transport
