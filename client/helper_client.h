// Client library for the daemon: connects, waits to be admitted, and calls
// the protocol's operations synchronously with typed replies. One call at a
// time per client; not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/replies.h"
#include "common/value.h"
#include "platform/unique_fd.h"

namespace client {

// The daemon's socket: "/run/com.korvane.helper.socket".
std::string defaultSocketPath();

class HelperClient {
 public:
  // Connects to the daemon at `socketPath` and waits for its admission.
  // Refuses a socket whose owner process is not root (a squatter on the path
  // gets nothing, not even a request). On failure returns nullptr and a
  // description in `error`, such as when the daemon refused this client.
  static std::unique_ptr<HelperClient> connect(const std::string& socketPath, std::string* error);

  // Each returns nullopt and a description in `error` when the call could
  // not be made or its reply is malformed (the connection is then unusable).
  std::optional<common::Listing> fetchSystemProcesses(std::string* error);
  std::optional<common::Listing> fetchDetailedProcesses(std::string* error);
  std::optional<common::Listing> fetchAllProcessData(std::string* error);
  std::optional<bool> terminateProcess(std::int64_t pid, std::string* error);
  std::optional<bool> sendSignal(std::int64_t pid, const std::optional<std::string>& signal,
                                 std::string* error);
  std::optional<common::FlagMessage> uninstallApp(const std::optional<std::string>& path,
                                                  std::string* error);
  std::optional<common::FlagMessage> applyFirewall(bool enable, const common::Array& inboundTCP,
                                                   const common::Array& outboundTCP,
                                                   const common::Array& inboundUDP,
                                                   const common::Array& outboundUDP,
                                                   std::string* error);

  // Sends `selector` with its protocol encoding and `arguments`; returns the
  // reply block's parameters after checking them against the encoding.
  std::optional<common::Array> call(const std::string& selector, common::Array arguments,
                                    std::string* error);

 private:
  explicit HelperClient(platform::UniqueFd fd) : fd_(std::move(fd)) {}
  std::optional<common::Listing> listing(const char* selector, std::string* error);
  std::optional<common::FlagMessage> flagMessage(const char* selector, common::Array arguments,
                                                 std::string* error);

  platform::UniqueFd fd_;
  std::uint64_t nextId_ = 1;
};

}  // namespace client
