#include "client/helper_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "interface/helper_protocol.h"
#include "platform/error_text.h"
#include "platform/fd_io.h"
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

}  // namespace

std::string defaultSocketPath() {
  return transport::Listener::socketPathForService("com.korvane.helper");
}

std::unique_ptr<HelperClient> HelperClient::connect(const std::string& socketPath,
                                                    std::string* error) {
  sockaddr_un addr;
  if (!platform::unixSocketAddress(socketPath, &addr)) {
    *error = "socket path too long: " + socketPath;
    return nullptr;
  }
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd || ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = "cannot connect to " + socketPath + ": " + platform::errorText(errno);
    return nullptr;
  }
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != 0) {
    *error = "refusing " + socketPath + ": it is not served by root (uid " +
             std::to_string(cred.uid) + ")";
    return nullptr;
  }
  timeval timeout{kReceiveTimeoutSeconds, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  std::string frameError;
  auto admitted = readFrame(fd.get(), &frameError);
  if (!admitted) {
    *error = "the daemon did not admit this client (" + frameError + ")";
    return nullptr;
  }
  if (!transport::isAdmitted(*admitted)) {
    *error = "the daemon sent something other than its admission";
    return nullptr;
  }
  return std::unique_ptr<HelperClient>(new HelperClient(std::move(fd)));
}

std::optional<Array> HelperClient::call(const std::string& selector, Array arguments,
                                        std::string* error) {
  const char* encoding = interface::helperProtocolEncoding(selector);
  auto signature = encoding ? transport::parseMethodEncoding(encoding) : std::nullopt;
  if (!signature) {
    *error = "unknown operation " + selector;
    return std::nullopt;
  }
  const std::uint64_t id = nextId_++;
  const std::string body =
      transport::encodeRequest(transport::Request{id, selector, encoding, std::move(arguments)});
  if (!platform::sendAll(fd_.get(), transport::frame(body))) {
    *error = std::string("cannot send the request: ") + platform::errorText(errno);
    return std::nullopt;
  }
  auto frame = readFrame(fd_.get(), error);
  if (!frame) {
    if (*error == "the daemon closed the connection") {
      *error += " (it may not offer " + selector + ")";
    }
    return std::nullopt;
  }
  auto reply = transport::decodeReply(*frame);
  if (!reply || reply->id != id || reply->parameters.size() != signature->replyParameters.size()) {
    *error = "malformed reply to " + selector;
    return std::nullopt;
  }
  for (std::size_t i = 0; i < reply->parameters.size(); ++i) {
    if (!fitsReply(reply->parameters[i], signature->replyParameters[i])) {
      *error = "malformed reply to " + selector;
      return std::nullopt;
    }
  }
  return std::move(reply->parameters);
}

std::optional<common::Listing> HelperClient::listing(const char* selector, std::string* error) {
  auto params = call(selector, {}, error);
  if (!params) return std::nullopt;
  common::Listing out;
  for (const auto& e : *(*params)[0].array()) out.push_back(*e.string());
  return out;
}

std::optional<common::FlagMessage> HelperClient::flagMessage(const char* selector, Array arguments,
                                                             std::string* error) {
  auto params = call(selector, std::move(arguments), error);
  if (!params) return std::nullopt;
  common::FlagMessage out{*(*params)[0].boolean(), std::nullopt};
  if (const std::string* m = (*params)[1].string()) out.message = *m;
  return out;
}

std::optional<common::Listing> HelperClient::fetchSystemProcesses(std::string* error) {
  return listing(interface::kFetchSystemProcesses, error);
}

std::optional<common::Listing> HelperClient::fetchDetailedProcesses(std::string* error) {
  return listing(interface::kFetchDetailedProcesses, error);
}

std::optional<common::Listing> HelperClient::fetchAllProcessData(std::string* error) {
  return listing(interface::kFetchAllProcessData, error);
}

std::optional<bool> HelperClient::terminateProcess(std::int64_t pid, std::string* error) {
  auto params = call(interface::kTerminateProcess, {Value(pid)}, error);
  if (!params) return std::nullopt;
  return *(*params)[0].boolean();
}

std::optional<bool> HelperClient::sendSignal(std::int64_t pid,
                                             const std::optional<std::string>& signal,
                                             std::string* error) {
  auto params =
      call(interface::kSendSignal, {Value(pid), signal ? Value(*signal) : Value(Nil{})}, error);
  if (!params) return std::nullopt;
  return *(*params)[0].boolean();
}

std::optional<common::FlagMessage> HelperClient::uninstallApp(
    const std::optional<std::string>& path, std::string* error) {
  return flagMessage(interface::kUninstallApp, {path ? Value(*path) : Value(Nil{})}, error);
}

std::optional<common::FlagMessage> HelperClient::applyFirewall(bool enable, const Array& inboundTCP,
                                                               const Array& outboundTCP,
                                                               const Array& inboundUDP,
                                                               const Array& outboundUDP,
                                                               std::string* error) {
  return flagMessage(
      interface::kApplyFirewall,
      {Value(enable), Value(inboundTCP), Value(outboundTCP), Value(inboundUDP), Value(outboundUDP)},
      error);
}

}  // namespace client
