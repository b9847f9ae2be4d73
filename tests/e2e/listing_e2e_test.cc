// The daemon and korvane-helperctl end to end: admission, transport
// robustness and the kernel listings, cross-checked with independent readers.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "tests/e2e/sandbox.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::set<std::string> psPids() {
  RunResult ps = run({"/bin/ps", "-e", "-o", "pid="});
  EXPECT_EQ(ps.status, 0);
  std::set<std::string> pids;
  for (auto line : lines(ps.out)) pids.insert(line.substr(line.find_first_not_of(' ')));
  return pids;
}

std::vector<std::string> split(const std::string& record) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t bar = record.find('|', start);
    fields.push_back(record.substr(start, bar - start));
    if (bar == std::string::npos) return fields;
    start = bar + 1;
  }
}

class DaemonE2E : public DaemonTest {
 protected:
  // Records of a listing by pid.
  std::map<std::string, std::string> listingByPid(const std::string& subcommand) {
    RunResult r = helperctl({subcommand});
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, std::string> byPid;
    for (const auto& record : lines(r.out)) byPid[record.substr(0, record.find('|'))] = record;
    return byPid;
  }
};

TEST_F(DaemonE2E, DetailedListingHasARecordForEveryProcessPsShows) {
  TempDir dir;
  const fs::path exe = dir.path() / "e2e|sleeper";
  fs::copy_file("/bin/sleep", exe);
  fs::permissions(exe, fs::perms::all, fs::perm_options::add);
  StartedProcess child({exe.string(), "60"}, 65534);

  const std::set<std::string> before = psPids();
  auto records = listingByPid("detailed-processes");
  const std::string pid = std::to_string(child.pid());
  ASSERT_TRUE(records.count(pid));
  const std::string& mine = records[pid];
  EXPECT_EQ(mine.rfind(pid + "|nobody|", 0), 0u) << mine;
  EXPECT_TRUE(mine.ends_with("|1|" + exe.string() + "|e2e|sleeper")) << mine;

  for (const auto& [p, record] : records) {
    const auto fields = split(record);
    ASSERT_GE(fields.size(), 7u) << record;
    EXPECT_TRUE(fields[2].ends_with(".0") && fields[3].ends_with(".0")) << record;
  }
  // Every process that ps sees both before and after the listing (so it
  // lived all through it) is listed.
  const std::set<std::string> after = psPids();
  for (const auto& lived : before) {
    if (after.count(lived)) {
      EXPECT_TRUE(records.count(lived)) << "pid " << lived << " not listed";
    }
  }
}

TEST_F(DaemonE2E, ListingsAgreeWithPsutilForProcessesTheTestStarted) {
  TempDir dir;
  const fs::path exe = dir.path() / "agree";
  fs::copy_file("/bin/sleep", exe);
  StartedProcess sleeper({exe.string(), "60"}, 4242);
  StartedProcess busy({"/bin/sh", "-c", "while :; do :; done"});

  const std::string script =
      "import json, sys, psutil\n"
      "for pid in sys.argv[1:]:\n"
      "    p = psutil.Process(int(pid))\n"
      "    print(pid, p.num_threads(), p.uids().effective, p.memory_info().rss, p.name(), "
      "sep='|')\n";
  RunResult truth = run({"/usr/bin/python3", "-c", script, std::to_string(sleeper.pid()),
                         std::to_string(busy.pid())});
  ASSERT_EQ(truth.status, 0) << truth.err;
  auto first = listingByPid("process-data");
  for (const auto& line : lines(truth.out)) {
    const auto expected = split(line);  // pid|threads|uid|rss|name
    ASSERT_TRUE(first.count(expected[0])) << line;
    const auto got = split(first[expected[0]]);  // pid|uid|rss|threads|cpu|name
    EXPECT_EQ(got[1], expected[2]) << line;
    EXPECT_EQ(got[3], expected[1]) << line;
    EXPECT_EQ(got[5], expected[4]) << line;
    EXPECT_NEAR(std::stod(got[2]), std::stod(expected[3]), 512 * 1024) << line;
  }
  // The busy loop's CPU time grows (on a loaded machine it may take a while
  // to be scheduled at all) and never goes back.
  const std::string busyPid = std::to_string(busy.pid());
  const std::uint64_t start = std::stoull(split(first[busyPid])[4]);
  std::uint64_t now = start;
  for (int i = 0; i < 50 && now == start; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    now = std::stoull(split(listingByPid("process-data")[busyPid])[4]);
  }
  EXPECT_GT(now, start);
}

TEST_F(DaemonE2E, JsonOutputIsExactlyTheReply) {
  RunResult r = helperctl({"--json", "process-data"});
  ASSERT_EQ(r.status, 0) << r.err;
  RunResult check = run({"/usr/bin/python3", "-c",
                         "import json,sys; v=json.loads(sys.argv[1]); "
                         "assert isinstance(v, list) and all(isinstance(s, str) for s in v) and v",
                         r.out});
  EXPECT_EQ(check.status, 0) << check.err;
}

TEST_F(DaemonE2E, MalformedFrameEndsOnlyItsConnection) {
  EXPECT_EQ(run({KORVANE_WIRE_PROBE, "c1c1c1c1c1"}).out, "admitted\nclosed\n");
  EXPECT_TRUE(daemon_->running());
  EXPECT_EQ(helperctl({"detailed-processes"}).status, 0);
}

}  // namespace
}  // namespace e2e

namespace e2e {
namespace {

TEST(DaemonBinary, CarriesItsInformationPropertyList) {
  RunResult r = run({"/usr/bin/objcopy", "-O", "binary", "--only-section=.info_plist", daemonPath(),
                     "/dev/stdout"});
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* entry : {"<key>CFBundleIdentifier</key>\n\t<string>com.korvane.helper</string>",
                            "<key>CFBundleExecutable</key>\n\t<string>com.korvane.helper</string>",
                            "<key>LSMinimumSystemVersion</key>\n\t<string>14.6</string>",
                            "<array>\n\t\t<string>MacOSX</string>\n\t</array>"}) {
    EXPECT_NE(r.out.find(entry), std::string::npos) << entry;
  }
}

}  // namespace
}  // namespace e2e
