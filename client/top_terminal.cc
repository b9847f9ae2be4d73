#include "client/top_terminal.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "client/helperctl.h"
#include "platform/error_text.h"
#include "platform/fd_io.h"

namespace korvane {
namespace {

volatile std::sig_atomic_t gStopSignal = 0;
volatile std::sig_atomic_t gResized = 0;

void onSignal(int signal) {
  if (signal == SIGWINCH) {
    gResized = 1;
  } else {
    gStopSignal = signal;
  }
}

constexpr int kHandled[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGWINCH};

// Blocks the handled signals outside the wait for input, so that one that
// arrives while the view draws or calls the helper ends that wait at once
// instead of being lost between a check and the wait.
class SignalScope {
 public:
  SignalScope() {
    sigset_t block;
    sigemptyset(&block);
    struct sigaction action {};
    action.sa_handler = onSignal;
    for (std::size_t i = 0; i < std::size(kHandled); ++i) {
      sigaddset(&block, kHandled[i]);
      ::sigaction(kHandled[i], &action, &saved_[i]);
    }
    ::sigprocmask(SIG_BLOCK, &block, &waitMask_);
  }
  ~SignalScope() {
    ::sigprocmask(SIG_SETMASK, &waitMask_, nullptr);
    for (std::size_t i = 0; i < std::size(kHandled); ++i) {
      ::sigaction(kHandled[i], &saved_[i], nullptr);
    }
  }
  SignalScope(const SignalScope&) = delete;
  SignalScope& operator=(const SignalScope&) = delete;
  // The mask to wait with: the caller's, with the handled signals open.
  const sigset_t* waitMask() const { return &waitMask_; }

 private:
  struct sigaction saved_[std::size(kHandled)]{};
  sigset_t waitMask_{};
};

// Raw input (keys unbuffered, no echo, Ctrl-C a byte), the alternate
// screen and a hidden cursor for its lifetime; all undone on destruction.
// While a polkit agent may ask for a password, the terminal is given back
// (leave) and taken again (enter): the agent reads a line with echo off.
class RawTerminal {
 public:
  RawTerminal() {
    usable_ = ::tcgetattr(STDIN_FILENO, &saved_) == 0;
    enter();
  }
  ~RawTerminal() { leave(false); }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

  // Restores the terminal's modes and, unless `keepScreen`, the normal
  // screen and the cursor.
  void leave(bool keepScreen) {
    if (onScreen_ && !keepScreen) {
      platform::writeAll(STDOUT_FILENO, "\x1b[m\x1b[?25h\x1b[?1049l");
      onScreen_ = false;
    }
    if (raw_) ::tcsetattr(STDIN_FILENO, keepScreen ? TCSANOW : TCSAFLUSH, &saved_);
    raw_ = false;
  }
  // Raw mode and the alternate screen again (cleared when it is entered);
  // keys typed in between stay unless the screen was left (a password's
  // leftovers are dropped).
  void enter() {
    if (!usable_) return;
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    raw_ = ::tcsetattr(STDIN_FILENO, onScreen_ ? TCSANOW : TCSAFLUSH, &raw) == 0;
    if (raw_ && !onScreen_) platform::writeAll(STDOUT_FILENO, "\x1b[?1049h\x1b[?25l\x1b[2J");
    onScreen_ = raw_ || onScreen_;
  }

 private:
  termios saved_{};
  bool usable_ = false;
  bool raw_ = false;
  bool onScreen_ = false;
};

// Runs `call` with the terminal given back when an agent may prompt on it
// (`terminal` not null): on the normal screen for a signal, which may well
// ask; on the alternate one for a listing, which asks rarely (when an
// earlier authorization expired) and is made every second.
template <typename Call>
auto promptable(RawTerminal* terminal, bool keepScreen, Call call) {
  if (terminal) terminal->leave(keepScreen);
  auto result = call();
  if (terminal) terminal->enter();
  return result;
}

std::int64_t monotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void draw(TopView& view) {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
    size.ws_col = 80;
    size.ws_row = 24;
  }
  int selected = -1;
  const auto lines = view.render(size.ws_col, size.ws_row, &selected);
  std::string screen = "\x1b[H";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const bool highlight = static_cast<int>(i) == selected || i == 1;
    screen += (highlight ? "\x1b[7m" : "") + lines[i] + (highlight ? "\x1b[m" : "");
    if (i + 1 < lines.size()) screen += "\r\n";
  }
  platform::writeAll(STDOUT_FILENO, screen);
}

// The processes of one refresh: process data always, the detailed listing
// when `sampler` asks for it. False with *error when a call failed.
bool takeSample(HelperClient& helper, RawTerminal* agentTerminal, TopSampler& sampler,
                std::vector<TopProcess>* processes, std::string* error) {
  auto data = promptable(agentTerminal, true, [&] { return helper.fetchAllProcessData(error); });
  if (!data) return false;
  const std::int64_t timeNs = monotonicNs();
  std::optional<Listing> detailed;
  if (sampler.needsDetailed(*data)) {
    detailed =
        promptable(agentTerminal, true, [&] { return helper.fetchDetailedProcesses(error); });
    if (!detailed) return false;
  }
  *processes = sampler.next(*data, timeNs, detailed ? &*detailed : nullptr);
  return true;
}

// Sleeps until `due` (monotonic) or a handled signal; false after a signal.
bool sleepUntil(std::int64_t due, const SignalScope& signals) {
  for (;;) {
    const std::int64_t wait = due - monotonicNs();
    if (gStopSignal) return false;
    if (wait <= 0) return true;
    const timespec timeout{static_cast<time_t>(wait / 1000000000),
                           static_cast<long>(wait % 1000000000)};
    ::ppoll(nullptr, 0, &timeout, signals.waitMask());
  }
}

int runBatch(HelperClient& helper, const TopOptions& options, std::string* error) {
  SignalScope signals;
  TopSampler sampler;
  TopView view(options.sort, options.reversed, options.filter);
  const auto interval = static_cast<std::int64_t>(options.intervalSeconds * 1e9);
  std::int64_t due = monotonicNs();
  for (int frame = 0; options.frames == 0 || frame < options.frames; ++frame) {
    if (frame > 0 && !sleepUntil(due, signals)) return 128 + gStopSignal;
    due = monotonicNs() + interval;
    std::vector<TopProcess> processes;
    if (!takeSample(helper, nullptr, sampler, &processes, error)) return -1;
    view.update(std::move(processes));
    std::string text = frame > 0 ? "\n" : "";
    text += view.frame();
    if (!platform::writeAll(STDOUT_FILENO, text)) {
      *error = "cannot write the output: " + platform::errorText(errno);
      return kExitOutput;
    }
  }
  return 0;
}

// Sends a confirmed signal; the line to show, or nullopt with *error when
// the helper could not be asked.
std::optional<std::string> send(HelperClient& helper, RawTerminal* agentTerminal,
                                const TopSignal& s, std::string* error) {
  auto done = promptable(agentTerminal, false, [&] {
    return s.name == "SIGKILL" ? helper.terminateProcess(s.pid, error)
                               : helper.sendSignal(s.pid, std::string(s.option), error);
  });
  if (!done) return std::nullopt;
  const std::string pid = std::to_string(s.pid);
  return *done ? s.name + " sent to " + pid : "the helper refused " + s.name + " for " + pid;
}

// Applies the keys waiting on standard input; false with *error on a failed
// call to the helper. Sets *resample after a signal was sent.
bool readKeys(HelperClient& helper, RawTerminal* agentTerminal, TopView& view, bool* resample,
              std::string* error) {
  char buf[256];
  const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
  if (n <= 0) {
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    view.press({Key::kQuit, 0});  // the terminal went away
    return true;
  }
  for (const KeyPress& key : decodeKeys(std::string(buf, static_cast<std::size_t>(n)))) {
    if (auto signal = view.press(key)) {
      auto line = send(helper, agentTerminal, *signal, error);
      if (!line) return false;
      view.setStatus(*line);
      *resample = true;
    }
  }
  return true;
}

}  // namespace

int runTop(HelperClient& helper, const TopOptions& options, bool agentRunning, std::string* error) {
  auto failed = [&] {
    *error = callAdvice(helper.lastFailure(), *error);
    return callFailureStatus(helper.lastFailure());
  };
  if (options.batch) {
    const int status = runBatch(helper, options, error);
    return status < 0 ? failed() : status;
  }
  if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) {
    *error =
        "top needs a terminal; for plain-text frames use top -b, for a listing a script can "
        "read, process-data";
    return kExitUsage;
  }
  SignalScope signals;
  TopView view(options.sort, options.reversed, options.filter);
  TopSampler sampler;
  std::vector<TopProcess> processes;
  // The first listing is the one most likely to ask for a password: it is
  // taken before the terminal turns raw.
  if (!takeSample(helper, nullptr, sampler, &processes, error)) return failed();
  view.update(std::move(processes));
  RawTerminal terminal;
  RawTerminal* agentTerminal = agentRunning ? &terminal : nullptr;
  const auto interval = static_cast<std::int64_t>(options.intervalSeconds * 1e9);
  bool resample = false;
  std::int64_t due = monotonicNs() + interval;
  while (!view.quit()) {
    if (resample || monotonicNs() >= due) {
      if (!takeSample(helper, agentTerminal, sampler, &processes, error)) return failed();
      view.update(std::move(processes));
      resample = false;
      due = monotonicNs() + interval;
    }
    if (gResized) platform::writeAll(STDOUT_FILENO, "\x1b[2J");
    gResized = 0;
    draw(view);
    const std::int64_t wait = std::max<std::int64_t>(due - monotonicNs(), 0);
    const timespec timeout{static_cast<time_t>(wait / 1000000000),
                           static_cast<long>(wait % 1000000000)};
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = ::ppoll(&input, 1, &timeout, signals.waitMask());
    if (gStopSignal) return 128 + gStopSignal;
    if (ready > 0 && !readKeys(helper, agentTerminal, view, &resample, error)) return failed();
  }
  return 0;
}

}  // namespace korvane
