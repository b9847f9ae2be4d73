#include "processes/process_listings.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <vector>

#include "platform/libproc.h"
#include "processes/process_source.h"

namespace processes {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t k2To53 = std::uint64_t{1} << 53;

struct FakeProcess {
  std::uint32_t uid;
  std::string name;
  std::uint64_t resident, virtualSize, user, system;
  std::int32_t threads;
  std::string path;  // empty: unreadable
};

// Stages what the system reports; records which pids were asked about.
class FakeTable final : public ProcessTable {
 public:
  std::vector<std::int32_t> pids = {0, 1, 7, 9, 11, 0, 13, 15};
  // 7 ends before its task information is read, 9 between the two reads.
  std::map<std::int32_t, FakeProcess> processes = {
      {1, {0, "launchd", 16384, 1073741824, 5, 7, 3, "/sbin/launchd"}},
      {9, {0, "gone", 1, 1, 1, 1, 1, "/gone"}},
      {11, {501, "", 0, 0, kMax, 1, 1, ""}},
      {13, {77, "bad\xFFname|x", k2To53 - 1, k2To53 + 1, 3, 4, 2, "/opt/\xC3(app"}},
      {15, {501, std::string(32, 'n'), 2, kMax, 0, 0, 1, "/a"}},
  };
  std::map<uid_t, std::string> users = {{0, "root"}, {77, "b\xFFr|x"}};
  std::optional<int> sizeAnswer;    // unset: enough for `pids`
  std::optional<int> filledAnswer;  // unset: what was copied
  std::vector<int> pathAsked;
  std::vector<uid_t> usersAsked;

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
      auto* t = static_cast<platform::proc_taskinfo*>(buffer);
      t->pti_resident_size = p.resident;
      t->pti_virtual_size = p.virtualSize;
      t->pti_total_user = p.user;
      t->pti_total_system = p.system;
      t->pti_threadnum = p.threads;
      return 96;
    }
    auto* b = static_cast<platform::proc_bsdinfo*>(buffer);
    b->pbi_uid = p.uid;
    std::memcpy(b->pbi_name, p.name.data(), std::min(p.name.size(), sizeof b->pbi_name));
    return pid == 9 ? 0 : 136;
  }
  int pidPath(int pid, void* buffer, std::uint32_t size) override {
    pathAsked.push_back(pid);
    const std::string& path = processes.at(pid).path;
    if (path.empty() || path.size() >= size) return 0;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<int>(path.size());
  }
  std::optional<std::string_view> userName(uid_t uid) override {
    usersAsked.push_back(uid);
    auto it = users.find(uid);
    if (it == users.end()) return std::nullopt;
    return it->second;
  }
};

TEST(Listings, ListEachReadableProcessInPidListOrderOrNoneWhenThePidListCannotBeRead) {
  FakeTable t;
  t.filledAnswer = 1 << 20;  // claims far more than the buffer holds: never read past it
  EXPECT_EQ(fetchDetailedProcesses(t),
            (korvane::Listing{
                "1|root|16384.0|1073741824.0|3|/sbin/launchd|launchd",
                "11|501|0.0|0.0|1|Unknown|",
                // From 2^53 on, a count is the double it rounds to.
                "13|b\xEF\xBF\xBDr|x|9007199254740991.0|9007199254740992.0|2|/opt/\xEF\xBF\xBD(app|"
                "bad\xEF\xBF\xBDname|x",
                "15|501|2.0|18446744073709551616.0|1|/a|" + std::string(32, 'n'),
            }));
  EXPECT_EQ(t.pathAsked, (std::vector<int>{1, 11, 13, 15}));
  EXPECT_EQ(t.usersAsked, (std::vector<uid_t>{0, 501, 77}));  // 501 twice, without an entry

  // Process data: numeric records, without lookups.
  t.pathAsked.clear();
  t.users.clear();
  EXPECT_EQ(fetchAllProcessData(t), (korvane::Listing{
                                        "1|0|16384|3|12|launchd",
                                        "11|501|0|1|18446744073709551615|",  // saturated
                                        "13|77|9007199254740991|2|7|bad\xEF\xBF\xBDname|x",
                                        "15|501|2|1|0|" + std::string(32, 'n'),
                                    }));
  EXPECT_TRUE(t.pathAsked.empty());

  const std::pair<std::optional<int>, std::optional<int>> cases[] = {{0, {}}, {-1, {}}, {3, {}},
                                                                     {{}, 3}, {{}, 0},  {{}, -4}};
  for (const auto& [size, filled] : cases) {
    FakeTable bad;
    bad.sizeAnswer = size;
    bad.filledAnswer = filled;
    EXPECT_TRUE(fetchDetailedProcesses(bad).empty());
    EXPECT_TRUE(fetchAllProcessData(bad).empty());
  }
}

TEST(Listings, OneKeptTableAtATimeForTheWholeDaemon) {
  rlimit files{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
  files.rlim_cur = files.rlim_max;
  if (files.rlim_max <= SystemProcessSource::kFilesForTheRest ||
      ::setrlimit(RLIMIT_NOFILE, &files) != 0) {
    GTEST_SKIP() << "no room for kept files under this open-file limit";
  }
  SystemProcessSource source;
  auto kept = source.openKeptTable();
  ASSERT_NE(kept, nullptr);
  EXPECT_FALSE(fetchAllProcessData(*kept).empty());
  EXPECT_EQ(source.openKeptTable(), nullptr);  // a second connection gets none
  kept.reset();
  EXPECT_NE(source.openKeptTable(), nullptr);  // until the first gives it back
}

}  // namespace
}  // namespace processes
