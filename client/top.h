// The model of `korvane-helperctl top` (pure): processes from two samples
// of the listings, CPU% from the change of CPU time between them, sorting,
// the selection, keys, and the screen as lines of text. The terminal side
// lives in top_terminal.h.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "client/helper_client.h"

namespace client {

enum class TopSort { kCpu, kMemory, kPid, kName };

struct TopProcess {
  std::int64_t pid = 0;
  std::string user;
  std::int64_t resident = 0;
  std::int64_t threads = 0;
  std::int64_t cpuNs = 0;
  double cpuPercent = 0;
  std::string name;
  std::string path;
};

// One sample: the listings and the monotonic time at which they were taken.
struct TopSample {
  Listing processData;
  Listing detailed;  // for user names and paths
  std::int64_t timeNs = 0;
};

// The processes of `current`; CPU% against `previous` (0 for a process it
// does not hold, or whose CPU time went back, as after pid reuse). May exceed
// 100 for a process with several threads.
std::vector<TopProcess> topProcesses(const TopSample* previous, const TopSample& current);

// CPU and memory largest first, pid and name ascending, or with `reversed`
// the other way round; ties by pid.
void sortProcesses(std::vector<TopProcess>& processes, TopSort sort, bool reversed = false);

enum class Key { kNone, kUp, kDown, kPageUp, kPageDown, kHome, kEnd, kQuit, kChar };
struct KeyPress {
  Key key = Key::kNone;
  char ch = 0;  // for kChar
};
// The key presses in bytes read from a terminal in raw mode; Ctrl-C is kQuit.
std::vector<KeyPress> decodeKeys(const std::string& bytes);

// A signal the user confirmed for a process: kill is terminateProcess,
// the others sendSignal with "-TERM", "-STOP", "-CONT".
struct TopSignal {
  std::string name;    // "SIGTERM", "SIGKILL", "SIGSTOP", "SIGCONT"
  const char* option;  // as /bin/kill reads it: "-TERM"
  std::int64_t pid = 0;
};

// The view's state: what it shows and what the user has asked for.
class TopView {
 public:
  explicit TopView(TopSort sort, bool reversed = false) : sort_(sort), reversed_(reversed) {}

  // Replaces the processes, keeping the selection on the same pid.
  void update(std::vector<TopProcess> processes);
  // Applies one key; returns a signal once the user confirmed it with y.
  // Sets quit() on q; R reverses the order.
  std::optional<TopSignal> press(KeyPress key);
  // Shows `text` on the last line until the next key.
  void setStatus(std::string text) { status_ = std::move(text); }
  bool quit() const { return quit_; }

  // The screen: `height` lines of at most `width` code points each;
  // *selectedLine is the line of the selected process (-1 if none shows).
  std::vector<std::string> render(int width, int height, int* selectedLine);

 private:
  void select(std::ptrdiff_t index);
  std::optional<std::int64_t> selectedPid() const;
  // Sorts again, keeping the selection on `pid` while it is listed.
  void resort(std::optional<std::int64_t> pid);
  std::string footer(int width) const;

  TopSort sort_;
  bool reversed_;
  std::vector<TopProcess> processes_;
  std::size_t selected_ = 0;
  std::size_t first_ = 0;     // the first process on the screen
  std::size_t pageRows_ = 1;  // process rows on the last screen
  std::optional<TopSignal> pending_;
  std::string status_;
  bool quit_ = false;
};

}  // namespace client
