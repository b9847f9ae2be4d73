#include "transport/unix_connection.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <string>

#include "platform/pidfd.h"
#include "platform/unique_fd.h"
#include "transport/message.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77  // Linux 6.5; missing from Debian 12's headers
#endif

namespace transport {
namespace {

using Clock = std::chrono::steady_clock;

// Waits until `fd` is ready for `events` (or has hung up) or `deadline`
// passes; false on the deadline or an error.
bool waitFor(int fd, short events, Deadline deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), INT_MAX)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

class ConnectionImpl final : public Connection {
 public:
  ConnectionImpl(int fd, const ListenerOptions& options, ConnectionState& state,
                 const std::atomic<bool>& stopping)
      : fd_(fd),
        options_(options),
        idle_(state.idle),
        replied_(state.replied),
        stopping_(stopping) {}

  const AuditToken* auditToken() const override { return hasToken_ ? &token_ : nullptr; }
  void setExportedInterface(std::shared_ptr<const MethodTable> interface) override {
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
    token_ = AuditToken{cred.pid, cred.uid, cred.gid, -1, peerGroups(), fd_};
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

  // The peer's supplementary groups as of connect(); none when unreadable.
  std::vector<gid_t> peerGroups() const {
    std::vector<gid_t> groups(64);
    for (;;) {
      socklen_t len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
      if (::getsockopt(fd_, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) {
        groups.resize(len / sizeof(gid_t));
        return groups;
      }
      if (errno != ERANGE || len / sizeof(gid_t) <= groups.size()) return {};
      groups.resize(len / sizeof(gid_t));
    }
  }

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
    idle_ = true;
    if (!sendAllBy(fd_, frame(encodeAdmitted()), Clock::now() + options_.replyTimeout)) return;
    std::string body;
    while (readRequestFrame(body)) {
      if (!platform::pidfdAlive(token_.pidfd)) return;
      if (!dispatch(body) || stopping_) return;
    }
  }

 private:
  // Appends the next chunk the peer sent to pending_, waiting for it until
  // `deadline`. Every chunk carries the credentials of its writer
  // (SO_PASSCRED on the socket), and one chunk never holds bytes of two
  // writers; a chunk from any process other than the admitted one (a forked
  // child, a process the socket was passed to) ends the connection.
  bool receiveMore(Deadline deadline) {
    char buffer[16 * 1024];  // a request and the header of the next fit
    for (;;) {
      iovec iov{buffer, sizeof buffer};
      alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
      msghdr msg{};
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      const ssize_t n = ::recvmsg(fd_, &msg, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
      if (n > 0 && !fromAdmittedPeer(msg)) {
        logError("request on the connection of pid " + std::to_string(token_.pid) +
                 " came from another process; closed");
        return false;
      }
      if (n > 0) {
        pending_.append(buffer, static_cast<std::size_t>(n));
        return true;
      }
      if (n == 0) return false;
      if (errno == EINTR) continue;
      if (errno != EAGAIN || !waitFor(fd_, POLLIN, deadline)) return false;
    }
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

  // The whole next request must arrive within the idle time-out, so a peer
  // that trickles a byte now and then cannot hold its thread either.
  bool readRequestFrame(std::string& body) {
    if (!readFrameBy(body, Clock::now() + options_.idleTimeout)) return false;
    idle_ = false;
    return true;
  }

  bool readFrameBy(std::string& body, Deadline deadline) {
    while (pending_.size() < kFrameHeaderSize) {
      if (!receiveMore(deadline)) return false;
    }
    const std::uint32_t size =
        parseFrameHeader(reinterpret_cast<const unsigned char*>(pending_.data()));
    if (size == 0 || size > kMaxRequestBody) {
      logError("frame of " + std::to_string(size) + " bytes refused");
      return false;
    }
    while (pending_.size() < kFrameHeaderSize + size) {
      if (!receiveMore(deadline)) return false;
    }
    if (pending_.size() == kFrameHeaderSize + size) {
      pending_.erase(0, kFrameHeaderSize);  // the usual case: no second copy of a large body
      body.swap(pending_);
      pending_.clear();
    } else {
      body.assign(pending_, kFrameHeaderSize, size);
      pending_.erase(0, kFrameHeaderSize + size);
    }
    return true;
  }

  // Checks one request against the interface, hands it to the object and
  // sends its one reply. False ends the connection.
  bool dispatch(const std::string& body) {
    auto request = decodeRequest(body);
    if (!request) {
      logError("malformed request frame; connection closed");
      return false;
    }
    std::string err;
    const MethodDescription* method =
        interface_->methodFor(request->selector, request->typeEncoding, request->arguments, &err);
    if (method == nullptr) {
      logError(err + "; connection closed");
      return false;
    }
    bool sent = false;
    bool refused = false;
    ReplyBlock reply(
        [&](common::Array params) {
          const std::string bytes = replyFrame(Reply{request->id, std::move(params)});
          // The work is done: a peer that leaves from here on frees the slot at
          // once, even before this thread has noticed.
          idle_ = true;
          sent = sendAllBy(fd_, bytes, Clock::now() + options_.replyTimeout);
          replied_ = true;
        },
        [&] {
          idle_ = true;
          refused = true;
          sendAllBy(fd_, frame(encodeNotAuthorized()), Clock::now() + options_.replyTimeout);
        });
    Invocation invocation{*method, std::move(request->arguments), reply};
    object_->invoke(invocation);
    if (!reply.called()) {
      logError(method->selector + " returned without replying; connection closed");
      return false;
    }
    return sent && !refused;
  }

  int fd_;
  const ListenerOptions& options_;
  std::atomic<bool>& idle_;
  std::atomic<bool>& replied_;
  const std::atomic<bool>& stopping_;
  AuditToken token_;
  bool hasToken_ = false;
  platform::UniqueFd pidfd_;
  std::string pending_;  // received, not yet taken: requests often come whole
  std::shared_ptr<const MethodTable> interface_;
  std::unique_ptr<ExportedObject> object_;
  bool resumed_ = false;
};

}  // namespace

bool sendAllBy(int fd, std::string_view bytes, Deadline deadline) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EAGAIN) {
      if (!waitFor(fd, POLLOUT, deadline)) return false;
    } else if (n == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

void serveConnection(int fd, Listener& listener, ListenerDelegate* delegate,
                     const ListenerOptions& options, ConnectionState& state,
                     const std::atomic<bool>& stopping) {
  // Whatever a peer makes the daemon do (an allocation that fails, a length
  // out of range) ends its own connection, never the daemon.
  try {
    ConnectionImpl connection(fd, options, state, stopping);
    connection.serve(listener, delegate);
  } catch (const std::exception& e) {
    logError(std::string("connection ended by an exception: ") + e.what());
  } catch (...) {
    logError("connection ended by an exception");
  }
}

void logError(std::string_view text) noexcept {
  try {
    const std::string line = "com.korvane.helper: " + std::string(text) + "\n";
    [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
  } catch (...) {
    // No memory for the note: the event goes unreported.
  }
}

}  // namespace transport
