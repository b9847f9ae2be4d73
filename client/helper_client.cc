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
#include "transport/interface.h"
#include "transport/message.h"
#include "transport/xpc.h"

namespace client {
namespace {

using common::Array;
using common::Nil;
using common::Value;
using transport::ArgType;

// Long enough for the slowest operation (a listing on a busy machine, a
// firewall change), short enough that a wedged daemon does not hang scripts.
constexpr int kReceiveTimeoutSeconds = 120;

std::optional<std::string> readFrame(int fd, std::string* error) {
  unsigned char header[transport::kFrameHeaderSize];
  if (!platform::readExactly(fd, reinterpret_cast<char*>(header), sizeof header)) {
    *error = "the daemon closed the connection";
    return std::nullopt;
  }
  const std::uint32_t size = transport::parseFrameHeader(header);
  if (size > transport::kMaxReplyBody) {
    *error = "the daemon sent an oversized frame";
    return std::nullopt;
  }
  std::string body(size, '\0');
  if (!platform::readExactly(fd, body.data(), size)) {
    *error = "the daemon closed the connection mid-reply";
    return std::nullopt;
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
  std::uint64_t nextId = 1;

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

std::unique_ptr<HelperClient> HelperClient::connect(const std::string& socketPath,
                                                    ConnectFailure* failure, std::string* error) {
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
  timeval timeout{kReceiveTimeoutSeconds, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string frameError;
  auto first = readFrame(fd.get(), &frameError);
  if (first && isBusyRefusal(*first)) {
    *failure = ConnectFailure::kBusy;
    *error = "the daemon is serving as many connections as it takes";
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
  return std::unique_ptr<HelperClient>(new HelperClient(std::move(connection)));
}

std::optional<Array> HelperClient::Connection::call(const std::string& selector, Array arguments,
                                                    std::string* error) {
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
  auto reply = readFrame(fd.get(), error);
  if (!reply) {
    if (*error == "the daemon closed the connection") {
      *error += " (it may not offer " + selector + ")";
    }
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

}  // namespace client
