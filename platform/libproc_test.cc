#include "platform/libproc.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace platform {
namespace {

// From the ppid on: 5 ticks user, 7 system, 3 threads, 1 GiB virtual.
constexpr char kStatTail[] = " 1 42 42 0 -1 4194560 11 0 2 0 5 7 0 0 20 0 3 0 100 1073741824 4 0\n";

TEST(ParseStat, TakesTheNameUpToTheLastParenthesisAndTheFieldsAfterIt) {
  ProcStat s;
  const std::string text = std::string("42 (a) (b\nc) S") + kStatTail;
  ASSERT_TRUE(parseStat(text, &s));
  EXPECT_EQ(s.name, "a) (b\nc");
  EXPECT_EQ(s.state, 'S');
  EXPECT_EQ(s.userTicks * 10 + s.systemTicks, 57u);
  EXPECT_EQ(s.threads, 3u);
  EXPECT_EQ(s.virtualBytes, 1073741824u);
  for (const std::string& bad :
       {std::string(""), std::string("42 (a S") + kStatTail, std::string("42 (a)S") + kStatTail,
        std::string("42 (a) S 1 42"), std::string("42 (a) SS") + kStatTail,
        std::string("42 (a) S 1 42 42 0 -1 0 x 0 2 0 5 7 0 0 20 0 3 0 1 9")}) {
    EXPECT_FALSE(parseStat(bad, &s)) << bad;
  }
}

TEST(ParseStatus, ReadsNameIdsAndResidentSize) {
  const std::string head = "Name:\ta\\\\b\\nc d\nState:\tS (sleeping)\nPid:\t9\nPPid:\t1\n";
  const std::string ids = "Uid:\t1\t2\t3\t2\nGid:\t4\t5\t6\t5\nGroups:\t4 5\n";
  ProcStatus s;
  const std::string text = head + ids + "VmSize:\t  9 kB\nVmRSS:\t  1234 kB\nThreads:\t1\n";
  ASSERT_TRUE(parseStatus(text, &s));
  EXPECT_EQ(s.state, 'S');
  EXPECT_EQ(s.pid + s.ppid, 10u);
  EXPECT_EQ(std::vector<std::uint32_t>(s.uids, s.uids + 3), (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(std::vector<std::uint32_t>(s.gids, s.gids + 3), (std::vector<std::uint32_t>{4, 5, 6}));
  EXPECT_EQ(s.residentKiB, 1234u);
  char name[8];
  unescapeStatusName(s.name, name, sizeof name);
  EXPECT_EQ(std::string(name), "a\\b\nc d");
  unescapeStatusName(s.name, name, 3);  // cut at the size, no NUL
  EXPECT_EQ(std::string(name, 3), "a\\b");
  ASSERT_TRUE(parseStatus(head + ids + "Threads:\t1\n", &s));  // a kernel thread: no memory
  EXPECT_EQ(s.residentKiB, 0u);

  for (const std::string& bad :
       {head + "Gid:\t4\t5\t6\t5\n", head + "Uid:\t1\t2\nGid:\t4\t5\t6\t5\n",
        head + ids + "VmRSS:\t12 MB\n", "Pid:\tx\n" + head + ids, ids + "State:\tS\n"}) {
    EXPECT_FALSE(parseStatus(bad, &s)) << bad;
  }
}

void* pauseForever(void*) {
  for (;;) ::pause();
}

TEST(ProcTable, KeepsAProcessWhoseFirstThreadExited) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    pthread_t t;
    pthread_create(&t, nullptr, pauseForever, nullptr);
    ::syscall(SYS_exit, 0);  // this thread only, without unwinding into the test
  }
  ProcTable table;
  proc_bsdinfo bsd{};
  for (int i = 0; i < 500 && bsd.pbi_status != 5; ++i) {  // until it shows as a zombie
    ::usleep(2000);
    if (table.pidInfo(pid, PROC_PIDTBSDINFO, 0, &bsd, sizeof bsd) != 136) break;
  }
  proc_taskinfo task{};
  EXPECT_EQ(table.pidInfo(pid, PROC_PIDTASKINFO, 0, &task, sizeof task), 96);
  EXPECT_GE(task.pti_threadnum, 2);  // sanitizers add threads of their own
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

TEST(ProcTable, FillsOnlyWholePidsAndNeverMoreThanTheBufferHolds) {
  ProcTable table;
  std::int32_t two[3] = {0, 0, -7};
  EXPECT_EQ(table.listPids(PROC_ALL_PIDS, 0, two, 11), 8);
  EXPECT_EQ(two[2], -7);
  EXPECT_EQ(table.listPids(PROC_ALL_PIDS, 0, two, 3), 0);
}

}  // namespace
}  // namespace platform
