// The messages that travel in frames (pure). Every frame is a 4-byte
// big-endian body length followed by a MessagePack body:
//   request  [id, selector, extended type encoding, [arguments...]]
//   reply    [id, [reply block parameters...]]
//   admitted "admitted"  (sent once by the daemon when it admits a connection;
//                         a client sends nothing before it)
//   busy     "busy"      (sent instead, before the close, when the daemon has
//                         no free slot for the connection)
//   not authorized "not-authorized" (sent instead of the reply to a listing,
//                         before the close, when the caller may not list)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/value.h"

namespace transport {

inline constexpr std::size_t kFrameHeaderSize = 4;
// The largest request body the daemon reads; a longer frame is refused from
// its header alone, before any of it is read.
inline constexpr std::uint32_t kMaxRequestBody = 1 << 20;
// The largest reply body a client accepts (a listing of every process).
inline constexpr std::uint32_t kMaxReplyBody = 256u << 20;

struct Request {
  std::uint64_t id = 0;
  std::string selector;
  std::string typeEncoding;
  common::Array arguments;
};

struct Reply {
  std::uint64_t id = 0;
  common::Array parameters;
};

std::string encodeRequest(const Request& request);
std::optional<Request> decodeRequest(std::string_view body);
std::string encodeReply(const Reply& reply);
// frame(encodeReply(reply)), encoded in place: a listing's reply is not
// copied on its way to the socket.
std::string replyFrame(const Reply& reply);
std::optional<Reply> decodeReply(std::string_view body);
std::string encodeAdmitted();
bool isAdmitted(std::string_view body);
std::string encodeBusy();
bool isBusy(std::string_view body);
std::string encodeNotAuthorized();
bool isNotAuthorized(std::string_view body);

// The 4-byte header for a body of `size` bytes.
std::string frameHeader(std::uint32_t size);
// A whole frame: the header and `body`.
std::string frame(std::string_view body);
std::uint32_t parseFrameHeader(const unsigned char header[kFrameHeaderSize]);

}  // namespace transport
