#include "transport/message.h"

#include "common/big_endian.h"
#include "transport/msgpack.h"

namespace transport {
namespace {

using common::Array;
using common::Value;

constexpr const char* kAdmitted = "admitted";
constexpr const char* kBusy = "busy";
constexpr const char* kNotAuthorized = "not-authorized";

bool isString(std::string_view body, const char* text) {
  auto v = msgpack::decode(body);
  return v && v->string() && *v->string() == text;
}

std::optional<std::uint64_t> requestId(const Value& v) {
  auto i = v.asInt64();
  if (i && *i >= 0) return static_cast<std::uint64_t>(*i);
  if (auto* u = std::get_if<std::uint64_t>(&v.v)) return *u;
  return std::nullopt;
}

}  // namespace

std::string encodeRequest(const Request& r) {
  return msgpack::encode(
      Value(Array{Value(r.id), Value(r.selector), Value(r.typeEncoding), Value(r.arguments)}));
}

std::optional<Request> decodeRequest(std::string_view body) {
  auto v = msgpack::decode(body);
  if (!v) return std::nullopt;
  const Array* a = v->array();
  if (!a || a->size() != 4) return std::nullopt;
  auto id = requestId((*a)[0]);
  const std::string* selector = (*a)[1].string();
  const std::string* encoding = (*a)[2].string();
  const Array* args = (*a)[3].array();
  if (!id || !selector || !encoding || !args) return std::nullopt;
  return Request{*id, *selector, *encoding, *args};
}

// [id, [parameters...]] appended to `out`.
void appendReply(const Reply& r, std::string& out) {
  out.push_back(static_cast<char>(0x92));
  msgpack::encode(Value(r.id), out);
  msgpack::encodeArray(r.parameters, out);
}

std::string encodeReply(const Reply& r) {
  std::string out;
  appendReply(r, out);
  return out;
}

std::string replyFrame(const Reply& r) {
  std::string out(kFrameHeaderSize, '\0');
  appendReply(r, out);
  common::storeBigEndian32(static_cast<std::uint32_t>(out.size() - kFrameHeaderSize),
                           reinterpret_cast<unsigned char*>(out.data()));
  return out;
}

std::optional<Reply> decodeReply(std::string_view body) {
  auto v = msgpack::decode(body);
  if (!v) return std::nullopt;
  const Array* a = v->array();
  if (!a || a->size() != 2) return std::nullopt;
  auto id = requestId((*a)[0]);
  const Array* params = (*a)[1].array();
  if (!id || !params) return std::nullopt;
  return Reply{*id, *params};
}

std::string encodeAdmitted() { return msgpack::encode(Value(kAdmitted)); }

bool isAdmitted(std::string_view body) { return isString(body, kAdmitted); }

std::string encodeBusy() { return msgpack::encode(Value(kBusy)); }

bool isBusy(std::string_view body) { return isString(body, kBusy); }

std::string encodeNotAuthorized() { return msgpack::encode(Value(kNotAuthorized)); }

bool isNotAuthorized(std::string_view body) { return isString(body, kNotAuthorized); }

std::string frameHeader(std::uint32_t size) {
  unsigned char header[kFrameHeaderSize];
  common::storeBigEndian32(size, header);
  return std::string(reinterpret_cast<const char*>(header), sizeof header);
}

std::string frame(std::string_view body) {
  return frameHeader(static_cast<std::uint32_t>(body.size())).append(body);
}

std::uint32_t parseFrameHeader(const unsigned char h[kFrameHeaderSize]) {
  return common::loadBigEndian32(h);
}

}  // namespace transport
