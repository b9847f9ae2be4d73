// Listing benchmark. Runs as the first process of a private pid namespace
// with a /proc of its own (scripts/bench.sh starts it so), builds a process
// population there, starts the daemon, and times each listing end to end
// (korvane-helperctl through the daemon) and in-process against the ps
// command and the psutil script that read the same fields. Runs of the
// commands being compared are interleaved, so that a change in the machine's
// load hits both sides of a ratio alike; each figure is the least of its
// runs, in wall time and, in parentheses, CPU time (client and daemon
// together for ours). Prints one row per line, "measure<TAB>column<TAB>cell",
// for scripts/bench.sh to tabulate.
//
//   korvane-listing-bench --daemon PATH --client PATH [--rounds N] [--sizes A,B,...]
//   korvane-listing-bench --list detailed|data   (one listing in-process; for strace)

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/subprocess.h"
#include "platform/unique_fd.h"
#include "processes/process_listings.h"
#include "processes/process_source.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "korvane-listing-bench: %s: %s\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

// Sleeping processes of the benchmark's own, each owned by a given uid, some
// with several threads. Killed and reaped on destruction.
class Population {
 public:
  Population() = default;
  Population(const Population&) = delete;
  Population& operator=(const Population&) = delete;
  ~Population() { shrinkTo(0); }

  // Starts `count` more processes; owners cycle through `owners`; every
  // eighth process runs four threads. Returns once all of them have their
  // owner and threads, so a listing sees them as they will stay.
  void grow(std::size_t count, const std::vector<uid_t>& owners) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) fail("pipe2");
    platform::UniqueFd readEnd(ready[0]), writeEnd(ready[1]);
    for (std::size_t i = 0; i < count; ++i) {
      const uid_t uid = owners[pids_.size() % owners.size()];
      const bool threaded = pids_.size() % 8 == 0;
      const pid_t pid = ::fork();
      if (pid < 0) fail("fork");
      if (pid == 0) sleepForever(uid, threaded, writeEnd.get());
      pids_.push_back(pid);
    }
    writeEnd.reset();
    for (std::size_t got = 0; got < count;) {
      char buf[512];
      const ssize_t n = ::read(readEnd.get(), buf, std::min(sizeof buf, count - got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) fail("population did not start");
      got += static_cast<std::size_t>(n);
    }
  }

  // Ends the most recently started processes until `count` are left.
  void shrinkTo(std::size_t count) {
    for (std::size_t i = count; i < pids_.size(); ++i) ::kill(pids_[i], SIGKILL);
    for (std::size_t i = count; i < pids_.size(); ++i) {
      while (::waitpid(pids_[i], nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    pids_.resize(std::min(count, pids_.size()));
  }

 private:
  static void* pauseForever(void*) {
    for (;;) ::pause();
  }

  [[noreturn]] static void sleepForever(uid_t uid, bool threaded, int readyFd) {
    if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                     ::setresuid(uid, uid, uid) != 0)) {
      _exit(1);
    }
    for (int t = 0; threaded && t < 3; ++t) {
      pthread_attr_t attr;
      pthread_attr_init(&attr);
      pthread_attr_setstacksize(&attr, std::size_t{64} * 1024);
      pthread_t thread;
      pthread_create(&thread, &attr, pauseForever, nullptr);
    }
    if (::write(readyFd, "r", 1) != 1) _exit(1);
    for (;;) ::pause();
  }

  std::vector<pid_t> pids_;
};

// What one run cost: wall time, and CPU time (user and system) of every
// process that worked for it. On a machine shared with other work the
// wall time swells with the wait for a CPU; the CPU time hardly does.
struct Cost {
  double wall = 0;
  double cpu = 0;
};

// CPU time so far of the process behind `clock` (a whole process, threads
// that have ended included).
double cpuSeconds(clockid_t clock) {
  timespec t{};
  ::clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// One run of `argv`, its output thrown away. `helper` is the clock of the
// daemon, whose work for the run counts too.
Cost runCost(const std::vector<std::string>& argv, clockid_t helper) {
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const double helperBefore = cpuSeconds(helper);
  const auto start = Clock::now();
  pid_t pid;
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) {
    fail("spawn " + argv[0]);
  }
  posix_spawn_file_actions_destroy(&actions);
  rusage usage{};
  int status;
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  Cost cost;
  cost.wall = std::chrono::duration<double>(Clock::now() - start).count();
  cost.cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime) + cpuSeconds(helper) - helperBefore;
  return cost;
}

Cost callCost(const std::function<void()>& call) {
  const double cpuBefore = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  const auto start = Clock::now();
  call();
  return {std::chrono::duration<double>(Clock::now() - start).count(),
          cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuBefore};
}

// The psutil programs: the same fields as the listing, read the way a
// Python monitor would.
constexpr char kPsutilDetailed[] = R"(import psutil
for p in psutil.process_iter():
    try:
        with p.oneshot():
            m = p.memory_info()
            try:
                exe = p.exe() or 'Unknown'
            except psutil.Error:
                exe = 'Unknown'
            print(p.pid, p.username(), float(m.rss), float(m.vms), p.num_threads(), exe, p.name(), sep='|')
    except psutil.Error:
        pass
)";
constexpr char kPsutilData[] = R"(import psutil
for p in psutil.process_iter():
    try:
        with p.oneshot():
            t = p.cpu_times()
            print(p.pid, p.uids().effective, p.memory_info().rss, p.num_threads(),
                  int((t.user + t.system) * 1e9), p.name(), sep='|')
    except psutil.Error:
        pass
)";

struct Command {
  std::string name;
  std::vector<std::string> argv;  // empty: `call` instead
  std::function<void()> call;
};

struct Paths {
  std::string daemon, client, self;
};

// The commands each ratio compares, by name.
std::vector<Command> commands(const Paths& p) {
  static processes::SystemProcessSource source;
  return {
      {"detailed", {p.client, "--raw", "detailed-processes"}, {}},
      {"detailed-in-process", {}, [] { processes::fetchDetailedProcesses(source); }},
      {"ps-detailed", {"/bin/ps", "-axo", "pid,user,rss,vsz,nlwp,comm,exe"}, {}},
      {"psutil-detailed", {"/usr/bin/python3", "-c", kPsutilDetailed}, {}},
      {"data", {p.client, "--raw", "process-data"}, {}},
      {"data-in-process", {}, [] { processes::fetchAllProcessData(source); }},
      // What a live view's refreshes cost after the first: one table kept.
      {"data-kept-in-process", {}, [] {
         static const auto kept = source.openKeptTable();
         if (kept) processes::fetchAllProcessData(*kept);
       }},
      {"ps-data", {"/bin/ps", "-axo", "pid,uid,rss,nlwp,cputimes,comm"}, {}},
      {"psutil-data", {"/usr/bin/python3", "-c", kPsutilData}, {}},
      {"system", {p.client, "--raw", "system-processes"}, {}},
      {"ps-system", {"/bin/ps", "-axco", "user,pid,pcpu,comm"}, {}},
      {"client-no-op", {p.client, "terminate", "0"}, {}},
      {"true", {"/bin/true"}, {}},
  };
}

struct Ratio {
  const char* measure;
  const char* ours;
  const char* baseline;
  // The daemon runs ps for system-processes: that child's CPU time is not
  // in the daemon's, so only wall times compare there.
  bool cpuComparable = true;
};

constexpr Ratio kRatios[] = {
    {"detailed-processes / ps -axo pid,user,rss,vsz,nlwp,comm,exe", "detailed", "ps-detailed"},
    {"detailed-processes / psutil, same fields", "detailed", "psutil-detailed"},
    {"detailed listing in-process / its ps", "detailed-in-process", "ps-detailed"},
    {"process-data / ps -axo pid,uid,rss,nlwp,cputimes,comm", "data", "ps-data"},
    {"process-data / psutil, same fields", "data", "psutil-data"},
    {"process-data in-process / its ps", "data-in-process", "ps-data"},
    {"process-data in-process, table kept / its ps", "data-kept-in-process", "ps-data"},
    {"system-processes / /bin/ps -axco user,pid,pcpu,comm", "system", "ps-system", false},
    {"korvane-helperctl terminate 0 / /bin/true", "client-no-op", "true"},
};

// Interleaved rounds of every command; the least wall time and the least
// CPU time of each: what a command costs when other work on the machine
// does not get in its way.
std::map<std::string, Cost> measure(const std::vector<Command>& cmds, int rounds,
                                    clockid_t helper) {
  std::map<std::string, Cost> best;
  for (int r = 0; r < rounds; ++r) {
    for (const Command& c : cmds) {
      const Cost cost = c.argv.empty() ? callCost(c.call) : runCost(c.argv, helper);
      auto [it, first] = best.emplace(c.name, cost);
      it->second.wall = std::min(it->second.wall, cost.wall);
      it->second.cpu = std::min(it->second.cpu, cost.cpu);
    }
  }
  return best;
}

// System calls of one run of `argv` (children included), from strace -c.
long syscallsOf(const std::vector<std::string>& argv) {
  const std::string out = "/run/korvane-bench.strace";
  std::vector<std::string> traced = {"-f", "-c", "-o", out, "--"};
  traced.insert(traced.end(), argv.begin(), argv.end());
  platform::Child child = platform::Child::spawn("/usr/bin/strace", traced, {});
  if (!child.valid()) return -1;
  child.wait();
  std::ifstream in(out);
  long calls = -1;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string percent, seconds, perCall;
    long n;
    if (line.find(" total") != std::string::npos && fields >> percent >> seconds >> perCall >> n) {
      calls = n;
    }
  }
  return calls;
}

std::map<std::string, long> syscalls(const Paths& p) {
  return {
      {"detailed", syscallsOf({p.self, "--list", "detailed"})},
      {"ps-detailed", syscallsOf({"/bin/ps", "-axo", "pid,user,rss,vsz,nlwp,comm,exe"})},
      {"psutil-detailed", syscallsOf({"/usr/bin/python3", "-c", kPsutilDetailed})},
      {"data", syscallsOf({p.self, "--list", "data"})},
      {"ps-data", syscallsOf({"/bin/ps", "-axo", "pid,uid,rss,nlwp,cputimes,comm"})},
  };
}

std::size_t processCount() {
  std::size_t n = 0;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    n += !name.empty() && std::all_of(name.begin(), name.end(), ::isdigit);
  }
  return n;
}

std::string withThousands(std::size_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

void printRow(const std::string& measure, const std::string& column, const std::string& cell) {
  std::printf("%s\t%s\t%s\n", measure.c_str(), column.c_str(), cell.c_str());
  std::fflush(stdout);
}

// Uids with a passwd entry, and as many without one.
void owners(std::vector<uid_t>* known, std::vector<uid_t>* unknown) {
  setpwent();
  while (passwd* pw = getpwent()) known->push_back(pw->pw_uid);
  endpwent();
  for (uid_t uid = 200000; unknown->size() < known->size(); ++uid) {
    if (getpwuid(uid) == nullptr) unknown->push_back(uid);
  }
}

platform::Child startDaemon(const std::string& path) {
  platform::Child daemon = platform::Child::spawn(path, {}, {});
  if (!daemon.valid()) fail("start " + path);
  for (int i = 0; i < 500 && !fs::exists("/run/com.korvane.helper.socket"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return daemon;
}

int listOnce(const std::string& which) {
  processes::SystemProcessSource source;
  const auto listing = which == "detailed" ? processes::fetchDetailedProcesses(source)
                                           : processes::fetchAllProcessData(source);
  return listing.empty() ? 1 : 0;
}

// One column: each ratio of wall times, with the ratio of CPU times in
// parentheses; the times themselves for the main commands.
void printCosts(const std::string& column, const std::map<std::string, Cost>& best) {
  char cell[48];
  for (const Ratio& r : kRatios) {
    const Cost& ours = best.at(r.ours);
    const Cost& baseline = best.at(r.baseline);
    if (r.cpuComparable) {
      std::snprintf(cell, sizeof cell, "%.2f (%.2f)", ours.wall / baseline.wall,
                    ours.cpu / baseline.cpu);
    } else {
      std::snprintf(cell, sizeof cell, "%.2f", ours.wall / baseline.wall);
    }
    printRow(r.measure, column, cell);
  }
  for (const char* name :
       {"detailed", "ps-detailed", "data", "ps-data", "system", "ps-system", "client-no-op"}) {
    std::snprintf(cell, sizeof cell, "%.1f (%.1f)", best.at(name).wall * 1e3,
                  best.at(name).cpu * 1e3);
    // The ps that the daemon runs is not in its CPU time: wall time only.
    if (std::strcmp(name, "system") == 0) *std::strchr(cell, ' ') = '\0';
    printRow(std::string("ms: ") + name, column, cell);
  }
}

int runBenchmark(const Paths& paths, int rounds, const std::vector<std::size_t>& sizes) {
  if (::getpid() != 1) {
    std::fprintf(stderr, "korvane-listing-bench: run me through scripts/bench.sh\n");
    return 2;
  }
  if (::mount("tmpfs", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0) {
    fail("tmpfs on /run");
  }
  platform::Child daemon = startDaemon(paths.daemon);
  clockid_t helper;
  if (::clock_getcpuclockid(daemon.pid(), &helper) != 0) fail("clock_getcpuclockid");
  std::vector<uid_t> known, unknown;
  owners(&known, &unknown);
  std::vector<uid_t> mixed;  // one owner in five without a passwd entry
  for (std::size_t i = 0; i < known.size(); ++i) {
    mixed.push_back(known[i]);
    if (i % 4 == 3) mixed.push_back(unknown[i]);
  }
  const std::vector<Command> cmds = commands(paths);
  Population population;
  std::map<std::string, long> base;  // system calls at the smallest population
  std::size_t baseCount = 0;
  // The last column: the largest population again, a fifth of it owned by
  // uids without a passwd entry.
  for (std::size_t i = 0; i <= sizes.size(); ++i) {
    const bool last = i == sizes.size();
    population.shrinkTo(0);
    population.grow(last ? sizes.back() : sizes[i], last ? mixed : known);
    const std::size_t count = processCount();
    const std::string column = withThousands(count) + (last ? " (1/5 no passwd)" : "");
    printCosts(column, measure(cmds, rounds, helper));
    const auto calls = syscalls(paths);
    if (i == 0) {
      base = calls;
      baseCount = count;
      continue;
    }
    for (const auto& [name, n] : calls) {
      char cell[32];
      std::snprintf(cell, sizeof cell, "%.1f",
                    static_cast<double>(n - base[name]) / static_cast<double>(count - baseCount));
      printRow("syscalls per process: " + name, column, cell);
    }
  }
  population.shrinkTo(0);
  daemon.killAndReap();
  return 0;
}

std::vector<std::size_t> parseSizes(const std::string& text) {
  std::vector<std::size_t> sizes;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) sizes.push_back(std::stoul(item));
  return sizes;
}

}  // namespace

int main(int argc, char** argv) {
  Paths paths;
  paths.self = fs::canonical("/proc/self/exe");
  int rounds = 9;
  std::vector<std::size_t> sizes = {85, 1000, 5000};
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i], value = argv[i + 1];
    if (flag == "--list") return listOnce(value);
    if (flag == "--daemon") paths.daemon = value;
    if (flag == "--client") paths.client = value;
    if (flag == "--rounds") rounds = std::stoi(value);
    if (flag == "--sizes") sizes = parseSizes(value);
  }
  if (paths.daemon.empty() || paths.client.empty() || sizes.empty() || rounds < 1) {
    std::fprintf(stderr, "usage: %s --daemon PATH --client PATH [--rounds N] [--sizes A,B,...]\n",
                 argv[0]);
    return 2;
  }
  return runBenchmark(paths, rounds, sizes);
}
