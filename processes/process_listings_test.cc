#include "processes/process_listings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

namespace processes {
namespace {

using platform::proc_bsdinfo;
using platform::proc_taskinfo;

struct FakeProcess {
  std::uint32_t uid = 0;
  std::string name;
  std::uint64_t resident = 0, virtualSize = 0, user = 0, system = 0;
  std::int32_t threads = 1;
  std::string path;  // empty: unreadable
  bool taskFails = false, bsdFails = false;
};

// Stages what the system reports; records which pids were asked about.
class FakeSource final : public ProcessSource {
 public:
  std::vector<std::int32_t> pids;
  std::map<std::int32_t, FakeProcess> processes;
  std::map<uid_t, std::string> users;
  std::optional<int> sizeAnswer;    // unset: enough for `pids`
  std::optional<int> filledAnswer;  // unset: what was copied
  std::vector<int> pathAsked;

  int listPids(void* buffer, int size) override {
    const int need = static_cast<int>(pids.size() * 4);
    if (buffer == nullptr) return sizeAnswer.value_or(need);
    const int n = std::min(need, size / 4 * 4);
    std::memcpy(buffer, pids.data(), static_cast<std::size_t>(n));
    return filledAnswer.value_or(n);
  }
  int pidInfo(int pid, int flavor, void* buffer, int) override {
    auto it = processes.find(pid);
    if (it == processes.end()) return 0;
    const FakeProcess& p = it->second;
    if (flavor == platform::PROC_PIDTASKINFO) {
      if (p.taskFails) return 0;
      auto* t = static_cast<proc_taskinfo*>(buffer);
      t->pti_resident_size = p.resident;
      t->pti_virtual_size = p.virtualSize;
      t->pti_total_user = p.user;
      t->pti_total_system = p.system;
      t->pti_threadnum = p.threads;
      return 96;
    }
    if (p.bsdFails) return 0;
    auto* b = static_cast<proc_bsdinfo*>(buffer);
    b->pbi_uid = p.uid;
    std::memcpy(b->pbi_name, p.name.data(), std::min(p.name.size(), sizeof b->pbi_name));
    return 136;
  }
  int pidPath(int pid, void* buffer, std::uint32_t size) override {
    pathAsked.push_back(pid);
    const std::string& path = processes.at(pid).path;
    if (path.empty() || path.size() >= size) return 0;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<int>(path.size());
  }
  std::optional<std::string> userName(uid_t uid) override {
    auto it = users.find(uid);
    if (it == users.end()) return std::nullopt;
    return it->second;
  }
};

FakeSource stagedMachine() {
  FakeSource s;
  s.pids = {0, 1, 7, 9, 11, 0, 13};
  s.users = {{0, "root"}};
  s.processes[1] = {0, "launchd", 16384, 1073741824, 5, 7, 3, "/sbin/launchd"};
  s.processes[7] = {};
  s.processes[7].taskFails = true;  // ended before its task info was read
  s.processes[9] = {};
  s.processes[9].bsdFails = true;  // ended between the two reads
  s.processes[11] = {501, "", 0, 0, 0, 0, 1, ""};
  s.processes[13] = {0, "bad\xFFname|x", 1, 2, 3, 4, 2, "/opt/\xC3(app"};
  return s;
}

TEST(DetailedListing, ListsEachReadableProcessInPidListOrder) {
  FakeSource s = stagedMachine();
  EXPECT_EQ(fetchDetailedProcesses(s),
            (common::Listing{
                "1|root|16384.0|1073741824.0|3|/sbin/launchd|launchd",
                "11|501|0.0|0.0|1|Unknown|",
                "13|root|1.0|2.0|2|/opt/\xEF\xBF\xBD(app|bad\xEF\xBF\xBDname|x",
            }));
  EXPECT_EQ(s.pathAsked, (std::vector<int>{1, 11, 13}));
}

TEST(AllProcessData, ListsNumericRecordsWithoutLookups) {
  FakeSource s = stagedMachine();
  s.processes[11].user = std::numeric_limits<std::uint64_t>::max();
  s.processes[11].system = 1;
  s.processes[11].uid = 4294967294u;
  EXPECT_EQ(fetchAllProcessData(s), (common::Listing{
                                        "1|0|16384|3|12|launchd",
                                        "11|4294967294|0|1|18446744073709551615|",
                                        "13|0|1|2|7|bad\xEF\xBF\xBDname|x",
                                    }));
  EXPECT_TRUE(s.pathAsked.empty());
}

TEST(Listings, EmptyWhenThePidListCannotBeRead) {
  struct Case {
    std::optional<int> size, filled;
  };
  const Case cases[] = {{0, {}}, {-1, {}}, {3, {}}, {{}, 3}, {{}, 0}, {{}, -4}};
  for (const Case& c : cases) {
    FakeSource s = stagedMachine();
    s.sizeAnswer = c.size;
    s.filledAnswer = c.filled;
    EXPECT_TRUE(fetchDetailedProcesses(s).empty());
    EXPECT_TRUE(fetchAllProcessData(s).empty());
  }
}

TEST(Listings, NeverReadsPastThePidBuffer) {
  FakeSource s = stagedMachine();
  s.filledAnswer = 1 << 20;  // claims far more than the buffer holds
  EXPECT_EQ(fetchAllProcessData(s).size(), 3u);
}

TEST(Listings, NameFillingTheWholeFieldIsKeptWhole) {
  platform::proc_bsdinfo bsd{};
  std::memset(bsd.pbi_name, 'n', sizeof bsd.pbi_name);
  EXPECT_EQ(processName(bsd), std::string(32, 'n'));
}

}  // namespace
}  // namespace processes
