// Client library of the Korvane helper daemon.
//
// HelperClient connects to the daemon's socket, waits until the daemon has
// admitted the calling program (only the genuine, signed client is), and
// then calls the daemon's operations synchronously, one at a time, each
// returning its typed reply. A HelperClient is not thread-safe: use one per
// thread, or guard it.
//
// Errors: every call returns nullopt (connect: nullptr) and sets *error to a
// sentence for a person when it could not get a well-formed reply; after a
// failed call the connection is unusable and the client must reconnect.
// A reply of NO (false, or success == false) is a reply, not an error;
// lastFailure() tells why the last call failed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/replies.h"

// Listing and FlagMessage, the replies' shapes, are in common/replies.h.
namespace korvane {

// Why connect() failed.
enum class ConnectFailure {
  kNoHelper,          // no socket at the path, or nobody listening on it
  kPermissionDenied,  // the socket's permissions refuse this user
  kNotAdmitted,       // the daemon refused this program
  kBusy,              // the daemon has no free slot for another connection
  kUntrustedSocket,   // the socket is not served by root: nothing was sent to it
  kOther,             // anything else (the text says what)
};

// Why a call failed.
enum class CallFailure {
  kNone,           // the last call got its reply
  kNotAuthorized,  // the daemon does not let this user make the request (a listing)
  kEnded,          // the connection ended before the reply
  kTimedOut,       // no reply within the timeout (the daemon may still carry it out)
  kOther,          // anything else: the request could not be sent, a malformed reply
};

// How long a call waits for the admission or a reply: long enough for the
// slowest operation (a listing on a busy machine, a firewall change), short
// enough that a wedged daemon does not hang scripts.
inline constexpr int kReplyTimeoutSeconds = 120;

// The daemon's socket: "/run/com.korvane.helper.socket".
std::string defaultSocketPath();

class HelperClient {
 public:
  // Connects to the daemon at `socketPath` and waits for its admission.
  // Refuses a socket whose server is not root (a squatter on the path gets
  // nothing, not even a request). On failure returns nullptr, sets *failure
  // (when not null) and *error. The admission and each reply must come
  // within `replyTimeoutSeconds`; else the error says "no reply within N s",
  // which is not the "ended the connection" of a helper that stopped.
  static std::unique_ptr<HelperClient> connect(const std::string& socketPath,
                                               ConnectFailure* failure, std::string* error,
                                               int replyTimeoutSeconds = kReplyTimeoutSeconds);
  ~HelperClient();
  HelperClient(const HelperClient&) = delete;
  HelperClient& operator=(const HelperClient&) = delete;

  // The output lines of `/bin/ps -axco user,pid,pcpu,comm`, header first.
  std::optional<Listing> fetchSystemProcesses(std::string* error);
  // One "PID|user|resident|virtual|threads|path|name" record per process;
  // sizes in bytes written as "16384.0"; path "Unknown" when unreadable.
  std::optional<Listing> fetchDetailedProcesses(std::string* error);
  // One "PID|uid|resident|threads|cpu-ns|name" record per process; all
  // numbers decimal integers, CPU time in nanoseconds.
  std::optional<Listing> fetchAllProcessData(std::string* error);
  // SIGKILL to `pid`. false when the daemon refused (pid 0 or below, above
  // 2147483647, its own) or the signal failed.
  std::optional<bool> terminateProcess(std::int64_t pid, std::string* error);
  // `/bin/kill SIGNAL PID`; `signal` is a dash and a signal name or number
  // ("-STOP", "-9"). false when the daemon refused or kill failed.
  std::optional<bool> sendSignal(std::int64_t pid, const std::optional<std::string>& signal,
                                 std::string* error);
  // Removes the application at `path` (absolute, not top-level; links are
  // never followed). The message says why on failure.
  std::optional<FlagMessage> uninstallApp(const std::optional<std::string>& path,
                                          std::string* error);
  // Enables the firewall anchor blocking the given destination ports, or
  // flushes it (enable false, lists ignored by the daemon).
  std::optional<FlagMessage> applyFirewall(bool enable, const std::vector<std::int64_t>& inboundTCP,
                                           const std::vector<std::int64_t>& outboundTCP,
                                           const std::vector<std::int64_t>& inboundUDP,
                                           const std::vector<std::int64_t>& outboundUDP,
                                           std::string* error);

  // Why the last call returned nullopt; kNone after a call that got a reply.
  CallFailure lastFailure() const;

 private:
  struct Connection;
  explicit HelperClient(std::unique_ptr<Connection> connection);

  std::unique_ptr<Connection> connection_;
};

}  // namespace korvane
