#include "client/helper_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "interface/helper_protocol.h"
#include "platform/error_text.h"
#include "platform/fd_io.h"
#include "platform/unique_fd.h"
#include "platform/unix_address.h"
#include "transport/message.h"
#include "transport/method_table.h"
#include "transport/xpc.h"

namespace korvane {
namespace {

using common::Array;
using common::Nil;
using common::Value;
using transport::ArgType;

// Why a frame could not be read.
enum class FrameFailure {
  kEnded,     // the stream ended before the frame began
  kTimedOut,  // nothing came within the timeout
  kBroken,    // the frame was cut short or too long
};

// Reads one frame, waiting at most the socket's SO_RCVTIMEO for each read.
std::optional<std::string> readFrame(int fd, int timeoutSeconds, FrameFailure* failure,
                                     std::string* error) {
  // readExactly leaves errno alone when the stream ends and keeps read's
  // EAGAIN when the receive timeout expires.
  auto failed = [&](FrameFailure ending, const char* ended) {
    const bool timedOut = errno == EAGAIN || errno == EWOULDBLOCK;
    *failure = timedOut ? FrameFailure::kTimedOut : ending;
    *error = timedOut ? "no reply within " + std::to_string(timeoutSeconds) + " s" : ended;
    return std::nullopt;
  };
  unsigned char header[transport::kFrameHeaderSize];
  errno = 0;
  if (!platform::readExactly(fd, reinterpret_cast<char*>(header), sizeof header)) {
    return failed(FrameFailure::kEnded, "the helper ended the connection");
  }
  const std::uint32_t size = transport::parseFrameHeader(header);
  if (size > transport::kMaxReplyBody) {
    *failure = FrameFailure::kBroken;
    *error = "the helper sent an oversized frame";
    return std::nullopt;
  }
  std::string body(size, '\0');
  errno = 0;
  if (!platform::readExactly(fd, body.data(), size)) {
    return failed(FrameFailure::kBroken,
                  "the helper ended the connection in the middle of a reply");
  }
  return body;
}

bool fitsReply(const Value& v, ArgType type) {
  switch (type) {
    case ArgType::kBool:
      return v.isBool();
    case ArgType::kString:
      return v.isNil() || v.isString();
    case ArgType::kArray: {
      const Array* a = v.array();
      if (a == nullptr) return false;
      for (const auto& e : *a) {
        if (!e.isString()) return false;
      }
      return true;
    }
    case ArgType::kInt64:
      return v.asInt64().has_value();
  }
  return false;
}

// The daemon refuses a connection it has no slot for with a frame of its own
// before it closes; this is the one place that recognises that frame.
bool isBusyRefusal(std::string_view body) { return transport::isBusy(body); }

ConnectFailure connectFailure(int error) {
  switch (error) {
    case ENOENT:
    case ECONNREFUSED:
    case ENOTDIR:
      return ConnectFailure::kNoHelper;
    case EACCES:
    case EPERM:
      return ConnectFailure::kPermissionDenied;
    default:
      return ConnectFailure::kOther;
  }
}

}  // namespace

// The connection and the one place where requests are built: the typed
// methods are the only way in.
struct HelperClient::Connection {
  platform::UniqueFd fd;
  int timeoutSeconds = kReplyTimeoutSeconds;
  std::uint64_t nextId = 1;
  CallFailure lastFailure = CallFailure::kNone;

  // Sends `selector` with its protocol encoding and `arguments`; returns the
  // reply block's parameters after checking them against the encoding.
  std::optional<Array> call(const std::string& selector, Array arguments, std::string* error);
  std::optional<Listing> listing(const char* selector, std::string* error);
  std::optional<bool> flag(const char* selector, Array arguments, std::string* error);
  std::optional<FlagMessage> flagMessage(const char* selector, Array arguments, std::string* error);
};

std::string defaultSocketPath() {
  return transport::Listener::socketPathForService("com.korvane.helper");
}

HelperClient::HelperClient(std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)) {}
HelperClient::~HelperClient() = default;

CallFailure HelperClient::lastFailure() const { return connection_->lastFailure; }

std::unique_ptr<HelperClient> HelperClient::connect(const std::string& socketPath,
                                                    ConnectFailure* failure, std::string* error,
                                                    int replyTimeoutSeconds) {
  ConnectFailure ignored;
  if (failure == nullptr) failure = &ignored;
  *failure = ConnectFailure::kOther;
  sockaddr_un addr;
  if (!platform::unixSocketAddress(socketPath, &addr)) {
    *error = "socket path too long: " + socketPath;
    return nullptr;
  }
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *failure = connectFailure(errno);
    *error = "cannot connect to " + socketPath + ": " + platform::errorText(errno);
    return nullptr;
  }
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != 0) {
    *failure = ConnectFailure::kUntrustedSocket;
    *error = "refusing " + socketPath + ": it is not served by root (uid " +
             std::to_string(cred.uid) + ")";
    return nullptr;
  }
  timeval timeout{replyTimeoutSeconds, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  FrameFailure frameFailure;
  std::string frameError;
  auto first = readFrame(fd.get(), replyTimeoutSeconds, &frameFailure, &frameError);
  if (first && isBusyRefusal(*first)) {
    *failure = ConnectFailure::kBusy;
    *error = "the daemon is serving as many connections as it takes";
    return nullptr;
  }
  if (!first && frameFailure == FrameFailure::kTimedOut) {
    *error = "the helper neither admitted nor refused this client within " +
             std::to_string(replyTimeoutSeconds) + " s";
    return nullptr;
  }
  if (!first || !transport::isAdmitted(*first)) {
    *failure = ConnectFailure::kNotAdmitted;
    *error = first ? "the daemon sent something other than its admission"
                   : "the daemon did not admit this client (" + frameError + ")";
    return nullptr;
  }
  auto connection = std::make_unique<Connection>();
  connection->fd = std::move(fd);
  connection->timeoutSeconds = replyTimeoutSeconds;
  return std::unique_ptr<HelperClient>(new HelperClient(std::move(connection)));
}

std::optional<Array> HelperClient::Connection::call(const std::string& selector, Array arguments,
                                                    std::string* error) {
  lastFailure = CallFailure::kOther;
  const char* encoding = interface::helperProtocolEncoding(selector);
  auto signature = encoding ? transport::parseMethodEncoding(encoding) : std::nullopt;
  if (!signature) {
    *error = "unknown operation " + selector;
    return std::nullopt;
  }
  const std::uint64_t id = nextId++;
  const std::string body =
      transport::encodeRequest(transport::Request{id, selector, encoding, std::move(arguments)});
  if (!platform::sendAll(fd.get(), transport::frame(body))) {
    *error = std::string("cannot send the request: ") + platform::errorText(errno);
    return std::nullopt;
  }
  FrameFailure failure;
  auto reply = readFrame(fd.get(), timeoutSeconds, &failure, error);
  if (!reply) {
    // The helper answers a request it does not take (an unknown selector, a
    // wrong encoding) by closing the connection, as it does when it stops:
    // the client cannot tell the two apart.
    if (failure == FrameFailure::kEnded) {
      lastFailure = CallFailure::kEnded;
      *error += " before replying to " + selector +
                " (it stopped, or refused the request: a helper of another version may not "
                "offer it)";
    } else if (failure == FrameFailure::kTimedOut) {
      lastFailure = CallFailure::kTimedOut;
      *error += " to " + selector + "; the helper may still carry it out";
    }
    return std::nullopt;
  }
  if (transport::isNotAuthorized(*reply)) {
    lastFailure = CallFailure::kNotAuthorized;
    *error = "the helper does not authorize this user for " + selector;
    return std::nullopt;
  }
  auto decoded = transport::decodeReply(*reply);
  bool wellFormed = decoded && decoded->id == id &&
                    decoded->parameters.size() == signature->replyParameters.size();
  for (std::size_t i = 0; wellFormed && i < decoded->parameters.size(); ++i) {
    wellFormed = fitsReply(decoded->parameters[i], signature->replyParameters[i]);
  }
  if (!wellFormed) {
    *error = "malformed reply to " + selector;
    return std::nullopt;
  }
  lastFailure = CallFailure::kNone;
  return std::move(decoded->parameters);
}

std::optional<Listing> HelperClient::Connection::listing(const char* selector, std::string* error) {
  auto params = call(selector, {}, error);
  if (!params) return std::nullopt;
  Listing out;
  for (const auto& e : *(*params)[0].array()) out.push_back(*e.string());
  return out;
}

std::optional<bool> HelperClient::Connection::flag(const char* selector, Array arguments,
                                                   std::string* error) {
  auto params = call(selector, std::move(arguments), error);
  if (!params) return std::nullopt;
  return *(*params)[0].boolean();
}

std::optional<FlagMessage> HelperClient::Connection::flagMessage(const char* selector,
                                                                 Array arguments,
                                                                 std::string* error) {
  auto params = call(selector, std::move(arguments), error);
  if (!params) return std::nullopt;
  FlagMessage out{*(*params)[0].boolean(), std::nullopt};
  if (const std::string* m = (*params)[1].string()) out.message = *m;
  return out;
}

std::optional<Listing> HelperClient::fetchSystemProcesses(std::string* error) {
  return connection_->listing(interface::kFetchSystemProcesses, error);
}

std::optional<Listing> HelperClient::fetchDetailedProcesses(std::string* error) {
  return connection_->listing(interface::kFetchDetailedProcesses, error);
}

std::optional<Listing> HelperClient::fetchAllProcessData(std::string* error) {
  return connection_->listing(interface::kFetchAllProcessData, error);
}

std::optional<bool> HelperClient::terminateProcess(std::int64_t pid, std::string* error) {
  return connection_->flag(interface::kTerminateProcess, {Value(pid)}, error);
}

std::optional<bool> HelperClient::sendSignal(std::int64_t pid,
                                             const std::optional<std::string>& signal,
                                             std::string* error) {
  return connection_->flag(interface::kSendSignal,
                           {Value(pid), signal ? Value(*signal) : Value(Nil{})}, error);
}

std::optional<FlagMessage> HelperClient::uninstallApp(const std::optional<std::string>& path,
                                                      std::string* error) {
  return connection_->flagMessage(interface::kUninstallApp, {path ? Value(*path) : Value(Nil{})},
                                  error);
}

std::optional<FlagMessage> HelperClient::applyFirewall(bool enable,
                                                       const std::vector<std::int64_t>& inboundTCP,
                                                       const std::vector<std::int64_t>& outboundTCP,
                                                       const std::vector<std::int64_t>& inboundUDP,
                                                       const std::vector<std::int64_t>& outboundUDP,
                                                       std::string* error) {
  auto ports = [](const std::vector<std::int64_t>& list) {
    return Value(Array(list.begin(), list.end()));
  };
  return connection_->flagMessage(
      interface::kApplyFirewall,
      {Value(enable), ports(inboundTCP), ports(outboundTCP), ports(inboundUDP), ports(outboundUDP)},
      error);
}

}  // namespace korvane
