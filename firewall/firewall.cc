#include "firewall/firewall.h"

#include <condition_variable>
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
// Taken with a deadline. Not a std::timed_mutex: its timed lock goes through
// pthread_mutex_clocklock, which ThreadSanitizer does not see, so every
// unlock would read as one of a mutex never locked.
// The names are what std::unique_lock calls.
class RequestLock {
 public:
  bool try_lock_for(std::chrono::milliseconds wait) {
    std::unique_lock hold(mutex_);
    if (!free_.wait_for(hold, wait, [this] { return !held_; })) return false;
    held_ = true;
    return true;
  }
  void unlock() {
    {
      const std::lock_guard hold(mutex_);
      held_ = false;
    }
    free_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  bool held_ = false;
};

RequestLock& requestLock() {
  static RequestLock lock;
  return lock;
}

// "pfctl -a NAME -F all did not finish within 20 s; it was killed."
std::string timedOut(const std::vector<std::string>& arguments) {
  std::string text = "pfctl";
  for (const auto& a : arguments) text.append(1, ' ').append(a);
  return text + " did not finish within " + std::to_string(control::kToolDeadline.count()) +
         " s; it was killed.";
}

korvane::FlagMessage fileError(const std::string& description) {
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

PfFirewall::PfFirewall(control::CommandRunner& runner, FirewallPaths paths,
                       std::chrono::milliseconds lockWait)
    : runner_(runner), paths_(std::move(paths)), lockWait_(lockWait) {}

korvane::FlagMessage PfFirewall::apply(bool enable, const std::vector<common::Value>& inboundTCP,
                                       const std::vector<common::Value>& outboundTCP,
                                       const std::vector<common::Value>& inboundUDP,
                                       const std::vector<common::Value>& outboundUDP) {
  try {
    const std::unique_lock hold(requestLock(), lockWait_);
    if (!hold.owns_lock()) return {false, "another firewall change is in progress"};
    return enable ? this->enable(inboundTCP, outboundTCP, inboundUDP, outboundUDP) : disable();
  } catch (const std::exception& e) {
    return {false, std::string("Firewall request failed: ") + e.what()};
  } catch (...) {
    return {false, "Firewall request failed."};
  }
}

korvane::FlagMessage PfFirewall::disable() {
  const std::vector<std::string> arguments = {"-a", std::string(kAnchorName), "-F", "all"};
  const control::ToolStatus status = runner_.runCommand(paths_.pfctl, arguments);
  using End = control::ToolStatus::End;
  switch (status.end) {
    case End::kExited:
      if (status.code == 0) return {true, "Korvane Firewall Rules Flushed"};
      break;
    case End::kSignalled:
      return {false, "Failed to flush anchor rules: pfctl was killed by signal " +
                         std::to_string(status.code) + "."};
    case End::kTimedOut:
      return {false, "Failed to flush anchor rules: " + timedOut(arguments)};
    case End::kNotStarted:
      break;
  }
  return {false, "Failed to flush anchor rules."};
}

korvane::FlagMessage PfFirewall::enable(const std::vector<common::Value>& inboundTCP,
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
    // The reload's status is not looked at: the anchor-load run below
    // decides. A reload that hung is another matter: the runs after it
    // would most likely hang the same way, holding the lock three times over.
    const std::vector<std::string> reload = {"-f", paths_.pfConf};
    if (runner_.runCommand(paths_.pfctl, reload).end == control::ToolStatus::End::kTimedOut) {
      return {false, timedOut(reload)};
    }
  }

  const std::vector<std::string> load = {"-a", std::string(kAnchorName), "-f", anchorFile};
  const control::ToolStatus status = runner_.runCommand(paths_.pfctl, load);
  if (status.end == control::ToolStatus::End::kTimedOut) return {false, timedOut(load)};
  // pf is switched on whatever the load gave; `pfctl -E` on an enabled pf is harmless.
  const std::vector<std::string> on = {"-E"};
  if (runner_.runCommand(paths_.pfctl, on).end == control::ToolStatus::End::kTimedOut) {
    return {false, timedOut(on)};
  }
  if (status.succeeded()) return {true, std::nullopt};
  if (status.end == control::ToolStatus::End::kSignalled) {
    return {false, "pfctl failed to load anchor: it was killed by signal " +
                       std::to_string(status.code) + "."};
  }
  return {false, "pfctl failed to load anchor with exit code " +
                     std::to_string(status.terminationStatus()) + "."};
}

}  // namespace firewall
