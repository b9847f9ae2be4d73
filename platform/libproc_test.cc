#include "platform/libproc.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace platform {
namespace {

constexpr char kStatTail[] = " 1 42 42 0 -1 4194560 11 0 2 0 5 7 0 0 20 0 3 0 100 1073741824 4 0\n";

void* pauseForever(void*) {
  for (;;) ::pause();
}

TEST(Libproc, RefusesBadStatAndStatmKeepsAProcessWhoseFirstThreadExitedAndFillsOnlyWholePids) {
  ProcStat s;
  for (const std::string& bad :
       {std::string(""), std::string("42 (a S") + kStatTail, std::string("42 (a)S") + kStatTail,
        std::string("42 (a) S 1 42"), std::string("42 (a) SS") + kStatTail,
        std::string("42 (a) S 1 42 42 0 -1 0 x 0 2 0 5 7 0 0 20 0 3 0 1 9")}) {
    EXPECT_FALSE(parseStat(bad, &s)) << bad;
  }

  std::uint64_t pages = 0;
  for (const char* bad : {"", "731", "731 ", "731 x 1", "x 190 1", "731 -1 1"}) {
    EXPECT_FALSE(parseStatm(bad, &pages)) << bad;
  }

  // status: the name's two escapes undone; no Vm lines (a kernel thread, a zombie) is no memory.
  const std::string ids = "PPid:\t2\nUid:\t1\t2\t3\t4\nGid:\t5\t6\t7\t8\n";
  const std::string head = "Name:\ta\\\\b\\nc)\nState:\tS (sleeping)\n" + ids;
  ProcStatus st;
  ASSERT_TRUE(parseStatus(head + "Threads:\t3\n", &st));
  EXPECT_EQ(std::string_view(st.name, st.nameSize), "a\\b\nc)");
  EXPECT_EQ(st.uids[1], 2u);
  EXPECT_EQ(st.virtualBytes + st.residentBytes, 0u);
  ASSERT_TRUE(parseStatus(head + "VmSize:\t8 kB\nVmLck:\t0 kB\nVmRSS:\t4 kB\nThreads:\t3\n", &st));
  EXPECT_EQ(st.residentBytes, 4096u);
  for (const std::string& bad :
       {head, "Name:\ta\\t\nState:\tS\n" + ids + "Threads:\t1\n",
        "Name:\t" + std::string(65, 'n') + "\n", head + "VmSize:\t8 kB\nThreads:\t3\n",
        head + "VmSize:\t8\nVmRSS:\t4 kB\nThreads:\t3\n",
        std::string(
            "Name:\ta\nState:\tS\nPPid:\t2\nUid:\t1\t2\t3\nGid:\t5\t6\t7\t8\nThreads:\t1\n")}) {
    EXPECT_FALSE(parseStatus(bad, &st)) << bad;
  }

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
  ProcTable statusTable(ProcFields::kWithoutTimes);
  for (ProcTable* t : {&table, &statusTable}) {
    proc_taskinfo task{};
    EXPECT_EQ(t->pidInfo(pid, PROC_PIDTASKINFO, 0, &task, sizeof task), 96);
    EXPECT_GE(task.pti_threadnum, 2);  // sanitizers add threads of their own
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);

  std::int32_t two[3] = {0, 0, -7};
  EXPECT_EQ(table.listPids(PROC_ALL_PIDS, 0, two, 11), 8);
  EXPECT_EQ(two[2], -7);
  EXPECT_EQ(table.listPids(PROC_ALL_PIDS, 0, two, 3), 0);
}

}  // namespace
}  // namespace platform
