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

namespace korvane {

enum class TopSort { kCpu, kMemory, kPid, kName };

struct TopProcess {
  std::int64_t pid = 0;
  std::int64_t uid = 0;
  std::string user;  // the login name, or the uid in decimal when it has none
  std::int64_t resident = 0;
  std::int64_t threads = 0;
  std::int64_t cpuNs = 0;
  double cpuPercent = 0;
  std::string name;
  std::string path;
};

// Turns the listings of each refresh into processes. Process data (pids,
// uids, names, CPU time) is asked for on every refresh; the detailed listing
// only gives user names and paths, which change when the processes do, so
// it is asked for again only when needsDetailed() says so.
class TopSampler {
 public:
  // At least every this many refreshes the detailed listing is taken anyway
  // (an executable may be replaced, a user renamed, with nothing else changed).
  static constexpr int kDetailedEvery = 10;

  // Whether the detailed listing must be fetched for `processData`: on the
  // first refresh, when it has a pid, or a pid with a uid or name, that the
  // refreshes since the last fetch did not have all along (a process that
  // ended asks for nothing), and kDetailedEvery refreshes after that.
  bool needsDetailed(const Listing& processData);
  // The processes of `processData`, taken at monotonic `timeNs`, with the
  // users and paths of `detailed` (null: those of the last one given). CPU%
  // is against the previous call (0 for a process it did not hold, or whose
  // CPU time went back, as after pid reuse); it may exceed 100 for a process
  // with several threads.
  std::vector<TopProcess> next(const Listing& processData, std::int64_t timeNs,
                               const Listing* detailed);

 private:
  std::string detailedKey_;  // the pids, uids and names the detailed listing was fetched for
  std::string key_;          // those of the last needsDetailed()
  int sinceDetailed_ = 0;
  bool haveDetailed_ = false;
  std::map<std::int64_t, std::pair<std::string, std::string>> userAndPath_;
  std::map<std::int64_t, std::int64_t> cpuNs_;
  std::int64_t timeNs_ = -1;
};

// CPU and memory largest first, pid and name ascending, or with `reversed`
// the other way round; ties by pid.
void sortProcesses(std::vector<TopProcess>& processes, TopSort sort, bool reversed = false);

enum class Key { kNone, kUp, kDown, kPageUp, kPageDown, kHome, kEnd, kEscape, kQuit, kChar };
struct KeyPress {
  Key key = Key::kNone;
  char ch = 0;  // for kChar
};
// The key presses in bytes read from a terminal in raw mode; Ctrl-C is
// kQuit, a lone Escape kEscape, other bytes kChar (q included: it quits
// only outside a filter being typed).
std::vector<KeyPress> decodeKeys(const std::string& bytes);

// A signal the user confirmed for a process: kill is terminateProcess,
// the others sendSignal with "-TERM", "-STOP", "-CONT".
struct TopSignal {
  std::string name;    // "SIGTERM", "SIGKILL", "SIGSTOP", "SIGCONT"
  const char* option;  // as /bin/kill reads it: "-TERM"
  std::int64_t pid = 0;
  std::string target;  // the process's name when it was asked for
};

// What the view shows: the processes of one user (a login name or a uid)
// and those whose name contains `name` (ignoring ASCII case); empty: all.
struct TopFilter {
  std::string user;
  std::string name;
};

// The view's state: what it shows and what the user has asked for.
class TopView {
 public:
  explicit TopView(TopSort sort, bool reversed = false, TopFilter filter = {})
      : sort_(sort), reversed_(reversed), filter_(std::move(filter)) {}

  // Replaces the processes, keeping the selection on the same pid. A signal
  // waiting for its y/n whose process is no longer listed is dropped, with
  // a line that says so: the answer never reaches another process.
  void update(std::vector<TopProcess> processes);
  // Applies one key; returns a signal once the user confirmed it with y.
  // Sets quit() on q; R reverses the order; h or ? shows the keys; u and /
  // read a user or a name to filter by (Enter applies, Escape cancels).
  std::optional<TopSignal> press(KeyPress key);
  // Shows `text` on the last line until the next key.
  void setStatus(std::string text) { status_ = std::move(text); }
  bool quit() const { return quit_; }

  // The screen: `height` lines of at most `width` code points each;
  // *selectedLine is the line of the selected process (-1 if none shows).
  std::vector<std::string> render(int width, int height, int* selectedLine);
  // The whole list as plain text, for batch mode: the header, the headings
  // and every shown process, each line ending in a line feed.
  std::string frame() const;

 private:
  // Keeps the processes the filter shows, in order, the selection on `pid`.
  void refilter(std::optional<std::int64_t> pid);
  std::optional<TopSignal> edit(KeyPress key);
  std::string header() const;
  void select(std::ptrdiff_t index);
  std::optional<std::int64_t> selectedPid() const;
  // Sorts again, keeping the selection on `pid` while it is listed.
  void resort(std::optional<std::int64_t> pid);
  std::string footer(int width) const;

  TopSort sort_;
  bool reversed_;
  TopFilter filter_;
  std::vector<TopProcess> all_;        // as the last update gave them
  std::vector<TopProcess> processes_;  // those the filter shows, sorted
  std::size_t selected_ = 0;
  std::size_t first_ = 0;     // the first process on the screen
  std::size_t pageRows_ = 1;  // process rows on the last screen
  std::optional<TopSignal> pending_;
  std::string status_;
  bool help_ = false;
  char editing_ = 0;  // 'u' or '/' while a filter is typed
  std::string typed_;
  bool quit_ = false;
};

}  // namespace korvane
