#include "authorization/polkit.h"

#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>

#include "platform/error_text.h"
#include "platform/fd_io.h"
#include "platform/pidfd.h"

namespace authorization {
namespace {

constexpr char kPolkitService[] = "org.freedesktop.PolicyKit1";
constexpr char kAuthorityPath[] = "/org/freedesktop/PolicyKit1/Authority";
constexpr char kAuthorityInterface[] = "org.freedesktop.PolicyKit1.Authority";
constexpr std::uint32_t kAllowUserInteraction = 1;

struct MessageUnref {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* s) const { sd_bus_slot_unref(s); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;

CheckResult denied(std::string reason) { return {Decision::kDenied, std::move(reason)}; }

// sd-bus reports failures as negative errno values.
std::string busFailure(std::string_view call, int negativeErrno) {
  return std::string(call) + ": " + platform::errorText(-negativeErrno);
}

// Unique among the checks of this process, which is all polkit asks of it:
// polkit scopes cancellation ids to the caller's bus connection.
std::string newCancelId() {
  static std::atomic<std::uint64_t> counter{0};
  return "korvane-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
}

// Milliseconds from now until sd-bus's absolute CLOCK_MONOTONIC deadline
// (microseconds), for poll(): -1 for none.
int pollTimeoutMs(std::uint64_t deadlineUs) {
  if (deadlineUs == UINT64_MAX) return -1;
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t nowUs = static_cast<std::uint64_t>(now.tv_sec) * 1000000U +
                              static_cast<std::uint64_t>(now.tv_nsec) / 1000U;
  if (deadlineUs <= nowUs) return 0;
  const std::uint64_t ms = (deadlineUs - nowUs + 999) / 1000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

MessagePtr checkAuthorizationCall(sd_bus* bus, pid_t pid, unsigned long long startTime, uid_t uid,
                                  const std::string& action, const Details& details,
                                  const std::string& cancelId, int* r) {
  sd_bus_message* raw = nullptr;
  *r = sd_bus_message_new_method_call(bus, &raw, kPolkitService, kAuthorityPath,
                                      kAuthorityInterface, "CheckAuthorization");
  MessagePtr m(raw);
  if (*r < 0) return nullptr;
  *r = sd_bus_message_append(m.get(), "(sa{sv})s", "unix-process", 3, "pid", "u",
                             static_cast<std::uint32_t>(pid), "start-time", "t",
                             static_cast<std::uint64_t>(startTime), "uid", "i",
                             static_cast<std::int32_t>(uid), action.c_str());
  if (*r >= 0) *r = sd_bus_message_open_container(m.get(), 'a', "{ss}");
  for (const auto& [key, value] : details) {
    if (*r >= 0) *r = sd_bus_message_append(m.get(), "{ss}", key.c_str(), value.c_str());
  }
  if (*r >= 0) *r = sd_bus_message_close_container(m.get());
  if (*r >= 0) *r = sd_bus_message_append(m.get(), "us", kAllowUserInteraction, cancelId.c_str());
  return *r < 0 ? nullptr : std::move(m);
}

CheckResult resultOf(sd_bus_message* reply) {
  if (sd_bus_message_is_method_error(reply, nullptr) > 0) {
    const sd_bus_error* e = sd_bus_message_get_error(reply);
    return denied(std::string("polkit: ") + (e && e->name ? e->name : "error") + ": " +
                  (e && e->message ? e->message : ""));
  }
  int authorized = 0, challenge = 0;
  if (sd_bus_message_enter_container(reply, 'r', "bba{ss}") < 0 ||
      sd_bus_message_read(reply, "bb", &authorized, &challenge) < 0) {
    return denied("polkit: malformed reply");
  }
  if (authorized) return {Decision::kAllowed, "authorized by polkit"};
  return denied(challenge ? "not authorized by polkit (no authentication)"
                          : "not authorized by polkit");
}

}  // namespace

struct PolkitChecker::Bus {
  struct Unref {
    void operator()(sd_bus* b) const { sd_bus_flush_close_unref(b); }
  };
  std::unique_ptr<sd_bus, Unref> bus;
};

PolkitChecker::PolkitChecker() : bus_(std::make_unique<Bus>()) {}

PolkitChecker::~PolkitChecker() = default;

pid_t pidOfPidfd(int pidfd) {
  std::string content, err;
  if (!platform::readWholeFile("/proc/self/fdinfo/" + std::to_string(pidfd), &content, &err)) {
    return -1;
  }
  const std::size_t at = content.find("\nPid:");
  if (at == std::string::npos) return -1;
  const char* p = content.c_str() + at + 5;
  while (*p == '\t' || *p == ' ') ++p;
  pid_t pid = -1;
  std::from_chars(p, content.c_str() + content.size(), pid);
  return pid > 0 ? pid : -1;  // -1: ended; 0: outside our pid namespace
}

unsigned long long processStartTime(pid_t pid) {
  std::string stat, err;
  if (!platform::readWholeFile("/proc/" + std::to_string(pid) + "/stat", &stat, &err)) return 0;
  // The name (field 2) may hold spaces and parentheses: count from its end.
  std::size_t at = stat.rfind(')');
  for (int field = 2; field < 22 && at != std::string::npos; ++field) {
    at = stat.find(' ', at + 1);
  }
  if (at == std::string::npos) return 0;
  unsigned long long ticks = 0;
  const auto [end, ec] = std::from_chars(stat.data() + at + 1, stat.data() + stat.size(), ticks);
  return ec == std::errc() && end < stat.data() + stat.size() && *end == ' ' ? ticks : 0;
}

CheckResult PolkitChecker::check(const Subject& subject, std::string_view action,
                                 const Details& details, int cancelFd) {
  try {
    const pid_t pid = pidOfPidfd(subject.pidfd);
    const unsigned long long startTime = pid > 0 ? processStartTime(pid) : 0;
    // The start time was read through the pid: it belongs to the pidfd's
    // process only if that process still lives now (else the pid may have
    // been reused in between).
    if (pid <= 0 || startTime == 0 || !platform::pidfdAlive(subject.pidfd)) {
      return denied("the caller's process is gone");
    }

    if (!bus_->bus || sd_bus_is_open(bus_->bus.get()) <= 0) {
      sd_bus* raw = nullptr;
      const int r = sd_bus_open_system(&raw);
      bus_->bus.reset(raw);
      if (r < 0) return denied(busFailure("sd_bus_open_system", r));
    }
    sd_bus* bus = bus_->bus.get();

    int r = 0;
    const std::string cancelId = newCancelId();
    MessagePtr call = checkAuthorizationCall(bus, pid, startTime, subject.uid, std::string(action),
                                             details, cancelId, &r);
    if (!call) return denied(busFailure("CheckAuthorization", r));

    struct Pending {
      MessagePtr reply;
    } pending;
    auto onReply = [](sd_bus_message* m, void* userdata, sd_bus_error*) {
      static_cast<Pending*>(userdata)->reply.reset(sd_bus_message_ref(m));
      return 0;
    };
    sd_bus_slot* rawSlot = nullptr;
    r = sd_bus_call_async(bus, &rawSlot, call.get(), onReply, &pending,
                          std::chrono::microseconds(kCheckTimeout).count());
    SlotPtr slot(rawSlot);
    if (r < 0) return denied(busFailure("CheckAuthorization", r));

    // sd-bus answers the call with a timeout error itself once kCheckTimeout
    // has passed; until then only polkit or the client's hang-up ends this.
    while (!pending.reply) {
      r = sd_bus_process(bus, nullptr);
      if (r < 0) {
        bus_->bus.reset();
        return denied(busFailure("sd_bus_process", r));
      }
      if (r > 0) continue;
      std::uint64_t deadline = UINT64_MAX;
      const int events = sd_bus_get_events(bus);
      if (events < 0 || sd_bus_get_timeout(bus, &deadline) < 0) {
        bus_->bus.reset();
        return denied(busFailure("sd_bus_get_events", events < 0 ? events : -EIO));
      }
      pollfd fds[2] = {{sd_bus_get_fd(bus), static_cast<short>(events), 0},
                       {cancelFd, POLLRDHUP, 0}};
      if (::poll(fds, 2, pollTimeoutMs(deadline)) < 0 && errno != EINTR) {
        return denied("poll: " + platform::errorText(errno));
      }
      if (fds[1].revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL)) {
        // Dropping the slot forgets the pending reply; polkit is told to
        // dismiss any authentication dialog it opened for this check.
        slot.reset();
        sd_bus_call_method_async(bus, nullptr, kPolkitService, kAuthorityPath, kAuthorityInterface,
                                 "CancelCheckAuthorization", nullptr, nullptr, "s",
                                 cancelId.c_str());
        sd_bus_flush(bus);
        return denied("the client hung up");
      }
    }
    return resultOf(pending.reply.get());
  } catch (...) {
    return denied("internal error");
  }
}

}  // namespace authorization
