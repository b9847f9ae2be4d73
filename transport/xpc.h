// The XPC counterpart: a listener bound to a service name, connections that
// carry an audit token, an exported interface and an exported object.
//
// Linux mechanics: a stream Unix socket at /run/<service>.socket, owned by
// root with mode 0660 and the group that may use the service (0600 without
// one), or the socket systemd handed over. One lock file beside it,
// /run/<service>.lock, held for the life of the listener, makes a second
// instance fail at start without touching the first. Each connection has its
// own thread: the delegate is asked exactly once, before anything is read; a
// refused connection is closed unread. An admitted connection is sent one
// "admitted" frame and only then are its requests read, each checked against
// the exported interface (selector, type encoding, argument types) and handed
// to the exported object in order. A malformed frame, an unknown selector, a
// wrong encoding, arguments that do not fit, a request written by another
// process than the admitted one, bytes sent before admission, an exception,
// a peer idle too long or too slow to take its reply end that connection
// only. A connection that finds no free slot is sent one "busy" frame and
// closed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/value.h"
#include "transport/audit_token.h"
#include "transport/method_table.h"

namespace transport {

// The reply block of one request. Calling it sends the reply; it must be
// called exactly once (a second call is a programmer error: asserted, and
// ignored). Move-only.
class ReplyBlock {
 public:
  using Sender = std::function<void(common::Array)>;
  using Refuser = std::function<void()>;
  explicit ReplyBlock(Sender sender, Refuser refuser = nullptr)
      : sender_(std::move(sender)), refuser_(std::move(refuser)) {}
  ReplyBlock(ReplyBlock&&) = default;
  ReplyBlock& operator=(ReplyBlock&&) = default;
  ReplyBlock(const ReplyBlock&) = delete;
  ReplyBlock& operator=(const ReplyBlock&) = delete;

  void operator()(common::Array parameters);
  // In place of the reply: sends the "not-authorized" frame, after which the
  // connection ends. Counts as the one call.
  void refuse();
  bool called() const { return called_; }

 private:
  Sender sender_;
  Refuser refuser_;
  bool called_ = false;
};

struct Invocation {
  const MethodDescription& method;
  // One value per declared argument, each of which fits its declared type;
  // nil is kept as nil.
  common::Array arguments;
  ReplyBlock& reply;
};

class ExportedObject {
 public:
  virtual ~ExportedObject() = default;
  // Handles one request on the connection's thread and calls
  // `invocation.reply` exactly once before it returns. Must not throw.
  virtual void invoke(Invocation& invocation) = 0;
};

class Connection {
 public:
  virtual ~Connection() = default;
  // The peer's audit token, or nullptr when the transport could not
  // establish who the peer is.
  virtual const transport::AuditToken* auditToken() const = 0;
  virtual void setExportedInterface(std::shared_ptr<const MethodTable> interface) = 0;
  virtual void setExportedObject(std::unique_ptr<ExportedObject> object) = 0;
  // Requests are delivered only after this, and only when an interface and
  // an object were set before it.
  virtual void resume() = 0;
};

class Listener;

class ListenerDelegate {
 public:
  virtual ~ListenerDelegate() = default;
  // Asked once per new connection, on that connection's thread, possibly on
  // several threads at once. Answer true to serve the connection (after
  // setting its interface and object and resuming it), false to refuse it.
  virtual bool shouldAcceptNewConnection(Listener& listener, Connection& connection) = 0;
};

// Who may connect and how long a connection may take. The defaults are the
// daemon's; tests shorten them.
struct ListenerOptions {
  // Besides root, the members of this group may connect to a socket the
  // listener binds itself (owner root, mode 0660); without a group only root
  // may (mode 0600). A socket systemd hands over keeps the access its unit
  // gave it.
  std::optional<gid_t> socketGroup;
  // Connections served at once. A user other than root holds at most
  // maxConnectionsPerUser of them, and users other than root together leave
  // keptForRoot of them to root, so that no one can lock root out. A slot is
  // free again the moment its peer hangs up.
  std::size_t maxConnections = 64;
  std::size_t maxConnectionsPerUser = 8;
  std::size_t keptForRoot = 4;
  // An admitted connection whose next request is not complete this long
  // after the last reply (or the admission) is closed.
  std::chrono::milliseconds idleTimeout = std::chrono::minutes(10);
  // The admission and every reply must be wholly sent within this, however
  // slowly the peer reads; else the connection is closed.
  std::chrono::milliseconds replyTimeout = std::chrono::seconds(30);
  // The mode of a socket the listener binds, instead of 0660 (0600 without
  // a group).
  std::optional<mode_t> socketMode = std::nullopt;
};

class Listener {
 public:
  // Paths of the socket for a service name: "/run/<name>.socket".
  static std::string socketPathForService(const std::string& name);

  // A listener for the service: it takes the instance lock /run/<name>.lock,
  // then uses the socket systemd handed over (socket activation), else binds
  // a new one at socketPathForService(name). On failure (another instance
  // holds the lock, or the socket cannot be made) returns nullptr and a
  // description in `error`.
  static std::unique_ptr<Listener> initWithMachServiceName(const std::string& name,
                                                           const ListenerOptions& options,
                                                           std::string* error);
  // The same in `folder` ("<folder>/<name>.socket", "<folder>/<name>.lock"),
  // never with a handed-over socket (tests use a private folder).
  static std::unique_ptr<Listener> listenInFolder(const std::string& folder,
                                                  const std::string& name,
                                                  const ListenerOptions& options,
                                                  std::string* error);

  // Stops accepting, ends every connection's I/O and waits until each
  // connection's thread is done with it.
  virtual ~Listener() = default;
  // The delegate must outlive the listener. Set it before resume().
  virtual void setDelegate(ListenerDelegate* delegate) = 0;
  // Starts accepting connections on a thread of the listener's own.
  virtual void resume() = 0;

  // The start of a graceful stop: accepts no more connections (those queued
  // on the socket stay there, for the next instance under socket
  // activation), closes every connection that has had a reply and waits for
  // its next request, and lets each request at work finish and reply, after
  // which its connection ends. A connection that has not sent its first
  // request gets two seconds to do so. Returns at once.
  virtual void beginStop() = 0;
  // After beginStop: waits until every connection has ended or `deadline`
  // passes; returns the number of connections still open (0: all ended).
  virtual std::size_t waitUntilStopped(std::chrono::steady_clock::time_point deadline) = 0;
};

// Blocks the stop signals (SIGTERM, SIGHUP, SIGINT) in the calling thread and
// in every thread it starts from now on: call it first in main, so that only
// runMainRunLoop takes them.
void blockStopSignals();

// Serves `listener` until a stop signal arrives, then stops it gracefully:
// requests at work may finish within `grace`, after which the rest are cut.
// Writes one line on standard error saying how the stop went and returns
// the process's exit status: 0, or 1 when a second stop signal came before
// the end (the stop is then cut short at once).
int runMainRunLoop(Listener& listener, std::chrono::milliseconds grace);

}  // namespace transport
