// The listings through the daemon, cross-checked with independent readers.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "platform/subprocess.h"
#include "tests/e2e/sandbox.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

// Records by pid: of a listing through the daemon, or of psutil's reading.
std::map<std::string, std::string> byPid(const RunResult& r) {
  EXPECT_EQ(r.status, 0) << r.err;
  std::map<std::string, std::string> records;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) records[line.substr(0, line.find('|'))] = line;
  return records;
}

// The pids ps shows, exited processes (state Z) aside.
std::set<std::string> psPids() {
  std::set<std::string> pids;
  std::istringstream in(run({"/bin/ps", "-e", "-o", "s=,pid="}).out);
  for (std::string line; std::getline(in, line);) {
    if (line[0] != 'Z') pids.insert(line.substr(line.find_first_not_of(' ', 1)));
  }
  return pids;
}

// psutil's reading of the same fields: for each pid, the detailed record (D), the numeric (N).
constexpr char kPsutilRecords[] = R"(import sys, psutil
for pid in sys.argv[1:]:
    p = psutil.Process(int(pid))
    m, t, n = p.memory_info(), p.cpu_times(), p.num_threads()
    print('D' + pid, p.username(), float(m.rss), float(m.vms), n, p.exe(), p.name(), sep='|')
    print('N' + pid, p.uids().effective, m.rss, n, round((t.user + t.system) * 1e9), p.name(),
          sep='|'))";

TEST_F(DaemonTest, ListingsShowWhatRunsAsPsAndPsutilSeeIt) {
  TempDir dir;
  const fs::path named = dir.path() / "e2e|a\\gree", removed = dir.path() / "removed",
                 noted = dir.path() / "real (deleted)";
  // 1024 bytes: no room for the NUL in the listing's buffer.
  fs::path longest = dir.path();
  while (longest.string().size() < 900) fs::create_directory(longest /= std::string(100, 'd'));
  longest /= std::string(1023 - longest.string().size(), 'x');
  for (const fs::path& exe : {named, removed, noted, longest}) {
    fs::copy_file("/bin/sleep", exe);
    fs::permissions(exe, fs::perms::all, fs::perm_options::add);
  }
  StartedProcess nobody({named.string(), "60"}, 65534);
  // Several threads, CPU time of several ticks, an owner without a passwd entry, and
  // non-dumpable: its files under /proc belong to root.
  StartedProcess threaded(
      {"/usr/bin/python3", "-c",
       "import ctypes, threading, time\n"
       "ctypes.CDLL(None).prctl(4, 0)\n"
       "for _ in range(2): threading.Thread(target=time.sleep, args=[60]).start()\n"
       "while time.process_time() < 0.1: pass\n"
       "time.sleep(60)"},
      4242);
  StartedProcess orphaned({removed.string(), "60"}), odd({noted.string(), "60"}),
      deep({longest.string(), "60"});
  fs::remove(removed);
  const platform::Child exited = platform::Child::spawn("/bin/true", {}, {});  // reaped at the end
  const std::string zombie = std::to_string(exited.pid());
  // Once asleep, a process changes nothing of itself until it ends.
  for (pid_t pid : {nobody.pid(), threaded.pid()}) {
    eventually([&] { return readFile(procPath(pid) + "/wchan") == "hrtimer_nanosleep"; });
  }
  ASSERT_TRUE(eventually([&] {
    return readFile(procPath(exited.pid()) + "/stat").find(") Z ") != std::string::npos;
  }));

  const std::set<std::string> before = psPids();
  auto detailed = byPid(helperctl({"detailed-processes"}));
  auto data = byPid(helperctl({"process-data"}));
  const std::set<std::string> after = psPids();
  const auto truth = byPid(run({"/usr/bin/python3", "-c", kPsutilRecords,
                                std::to_string(nobody.pid()), std::to_string(threaded.pid())}));

  // Every field as psutil reads it, the resident size exact, not near.
  for (const std::string& pid : {std::to_string(nobody.pid()), std::to_string(threaded.pid())}) {
    EXPECT_EQ("D" + detailed[pid], truth.at("D" + pid));
    EXPECT_EQ("N" + data[pid], truth.at("N" + pid));
  }

  // Every process that ps sees both before and after (so it lived all
  // through) is in both listings; an exited one is in neither.
  for (const auto& lived : before) {
    EXPECT_TRUE(!after.count(lived) || (detailed.count(lived) && data.count(lived))) << lived;
  }
  EXPECT_FALSE(detailed.count(zombie) || data.count(zombie));

  // A removed executable has no path, nor has one too long; a file really
  // named "... (deleted)" has its own.
  EXPECT_TRUE(detailed[std::to_string(orphaned.pid())].ends_with("|1|Unknown|removed"));
  EXPECT_TRUE(detailed[std::to_string(odd.pid())].ends_with(noted.string() + "|real (deleted)"));
  EXPECT_TRUE(detailed[std::to_string(deep.pid())].ends_with("|Unknown|" + std::string(15, 'x')));

  // A reply that cannot be written exits with 74 (usage errors: HelperctlArgs).
  EXPECT_EQ(run({"/bin/sh", "-c", helperctlPath() + " terminate 0 >/dev/full"}).status, 74);
}

}  // namespace
}  // namespace e2e
