#include "firewall/firewall.h"

#include <exception>
#include <mutex>
#include <utility>

#include "common/utf8.h"
#include "firewall/firewall_rules.h"
#include "platform/atomic_file.h"
#include "platform/fd_io.h"

namespace firewall {
namespace {

// One lock for the whole process, not one per object: the files and pf it
// guards are shared by every connection, and each connection may build its
// own Firewall. A per-object lock would let two connections append the anchor
// block to pf.conf twice or interleave an enable with a disable.
std::mutex& requestLock() {
  static std::mutex lock;
  return lock;
}

common::FlagMessage fileError(const std::string& description) {
  return {false, "File system error: " + description};
}

// pf.conf is read whole as UTF-8 text. What is written back is that text and
// the ASCII anchor block, so it needs no check of its own.
bool readUtf8File(const std::string& path, std::string* text, std::string* err) {
  if (!platform::readWholeFile(path, text, err)) return false;
  if (common::isValidUtf8(*text)) return true;
  *err = "Could not read \"" + path + "\": the file is not valid UTF-8 text.";
  return false;
}

}  // namespace

std::string FirewallPaths::anchorFile() const {
  return anchorFolder + "/" + std::string(kAnchorName);
}

Firewall::Firewall(control::CommandRunner& runner, FirewallPaths paths)
    : runner_(runner), paths_(std::move(paths)) {}

common::FlagMessage Firewall::apply(bool enable, const std::vector<common::Value>& inboundTCP,
                                    const std::vector<common::Value>& outboundTCP,
                                    const std::vector<common::Value>& inboundUDP,
                                    const std::vector<common::Value>& outboundUDP) {
  try {
    std::lock_guard<std::mutex> hold(requestLock());
    return enable ? this->enable(inboundTCP, outboundTCP, inboundUDP, outboundUDP) : disable();
  } catch (const std::exception& e) {
    return {false, std::string("Firewall request failed: ") + e.what()};
  } catch (...) {
    return {false, "Firewall request failed."};
  }
}

common::FlagMessage Firewall::disable() {
  const std::string anchor(kAnchorName);
  if (runner_.runCommand(paths_.pfctl, {"-a", anchor, "-F", "all"}) == 0) {
    return {true, "Korvane Firewall Rules Flushed"};
  }
  return {false, "Failed to flush anchor rules."};
}

common::FlagMessage Firewall::enable(const std::vector<common::Value>& inboundTCP,
                                     const std::vector<common::Value>& outboundTCP,
                                     const std::vector<common::Value>& inboundUDP,
                                     const std::vector<common::Value>& outboundUDP) {
  const std::pair<const std::vector<common::Value>*, const char*> lists[] = {
      {&inboundTCP, "inboundTCP"},
      {&outboundTCP, "outboundTCP"},
      {&inboundUDP, "inboundUDP"},
      {&outboundUDP, "outboundUDP"}};
  PortList ports[4];
  std::string err;
  for (int i = 0; i < 4; ++i) {
    if (!toPortList(*lists[i].first, lists[i].second, &ports[i], &err)) return {false, err};
  }
  const std::string rules = makeFirewallRules(ports[0], ports[1], ports[2], ports[3]);

  const std::string anchorFile = paths_.anchorFile();
  if (!platform::replaceFileAtomically(anchorFile, rules, {}, &err)) return fileError(err);

  std::string pfConf;
  if (!readUtf8File(paths_.pfConf, &pfConf, &err)) return fileError(err);
  if (appendAnchorBlock(&pfConf, anchorFile)) {
    if (!platform::replaceFileAtomically(paths_.pfConf, pfConf, {}, &err)) return fileError(err);
    // The reload's status is not looked at: the anchor-load run below decides.
    runner_.runCommand(paths_.pfctl, {"-f", paths_.pfConf});
  }

  const std::string anchor(kAnchorName);
  const std::int32_t status = runner_.runCommand(paths_.pfctl, {"-a", anchor, "-f", anchorFile});
  // pf is switched on whatever the load gave; `pfctl -E` on an enabled pf is harmless.
  runner_.runCommand(paths_.pfctl, {"-E"});
  if (status == 0) return {true, std::nullopt};
  return {false, "pfctl failed to load anchor with exit code " + std::to_string(status) + "."};
}

}  // namespace firewall
