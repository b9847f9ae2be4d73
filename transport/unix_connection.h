// One connection of the Unix-socket listener, served to its end on a thread
// of its own. Internal to the transport.
#pragma once

#include <atomic>
#include <chrono>
#include <string_view>

#include "transport/xpc.h"

namespace transport {

using Deadline = std::chrono::steady_clock::time_point;

// Sends all of `bytes` on the socket `fd` by `deadline`, however slowly the
// peer reads. False on an error, a closed peer or the deadline.
bool sendAllBy(int fd, std::string_view bytes, Deadline deadline);

// What the listener and a connection's thread tell each other.
struct ConnectionState {
  // True while the connection has no request at work (it sends the
  // admission or a reply, or waits for a request), so that the listener can
  // tell a slot whose peer has left from one still working for it.
  std::atomic<bool> idle{false};
  // True once the connection has sent a reply: a peer that has had one and
  // waits may be closed at a stop; a new one is still to send its request.
  std::atomic<bool> replied{false};
};

// Serves the accepted socket `fd` to its end on the calling thread: asks the
// delegate, then hands the requests to the exported object, within the
// deadlines of `options`, and ends after the reply in work when `stopping`
// is set. Never throws; does not close `fd`.
void serveConnection(int fd, Listener& listener, ListenerDelegate* delegate,
                     const ListenerOptions& options, ConnectionState& state,
                     const std::atomic<bool>& stopping);

// Writes "com.korvane.helper: <text>" on standard error in one write.
// Standard output belongs to the admission diagnostics. Never throws.
void logError(std::string_view text) noexcept;

}  // namespace transport
