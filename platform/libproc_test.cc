#include "platform/libproc.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <latch>
#include <thread>
#include <vector>

#include "platform/users.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// A child the test started; killed and reaped when the test ends.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  ~Child() { stop(); }
  pid_t pid() const { return pid_; }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_;
};

Child runSleep(const std::string& path) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::execl(path.c_str(), path.c_str(), "30", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  // Wait until the exec has happened, so /proc shows the new image.
  char exe[4096];
  for (int i = 0; i < 500; ++i) {
    ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe);
    if (n > 0 && std::string(exe, static_cast<std::size_t>(n)) == path) break;
    ::usleep(2000);
  }
  return Child(pid);
}

std::vector<std::int32_t> allPids() {
  int bytes = proc_listpids(PROC_ALL_PIDS, 0, nullptr, 0);
  EXPECT_GT(bytes, 0);
  std::vector<std::int32_t> pids(static_cast<std::size_t>(bytes) / 4);
  int filled = proc_listpids(PROC_ALL_PIDS, 0, pids.data(), bytes);
  pids.resize(static_cast<std::size_t>(filled) / 4);
  return pids;
}

class TempDir {
 public:
  TempDir() : path_(fs::temp_directory_path() / ("libproc_test." + std::to_string(::getpid()))) {
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

TEST(Libproc, ListsEveryPidOnceInAscendingOrder) {
  auto pids = allPids();
  EXPECT_TRUE(std::is_sorted(pids.begin(), pids.end()));
  EXPECT_EQ(std::adjacent_find(pids.begin(), pids.end()), pids.end());
  EXPECT_NE(std::find(pids.begin(), pids.end(), ::getpid()), pids.end());
  EXPECT_EQ(std::count(pids.begin(), pids.end(), 0), 0);

  // Never more than the buffer holds, and only whole pids.
  std::int32_t two[3] = {0, 0, -7};
  EXPECT_EQ(proc_listpids(PROC_ALL_PIDS, 0, two, 11), 8);
  EXPECT_EQ(two[2], -7);
  EXPECT_EQ(proc_listpids(PROC_ALL_PIDS, 0, two, 3), 0);
}

TEST(Libproc, ReadsNameUidPathAndThreadsOfAProcessItStarted) {
  TempDir dir;
  // A name with a line feed, a backslash, a tab and a bar: the kernel escapes
  // two of them in one /proc file and none in another.
  const std::string name = "a\\b\nc|d\te";
  const fs::path exe = dir.path() / name;
  fs::copy_file("/bin/sleep", exe);
  Child child = runSleep(exe.string());

  proc_bsdinfo bsd{};
  ASSERT_EQ(proc_pidinfo(child.pid(), PROC_PIDTBSDINFO, 0, &bsd, sizeof bsd), 136);
  EXPECT_EQ(std::string(bsd.pbi_name), name);
  EXPECT_EQ(std::string(bsd.pbi_comm), name);
  EXPECT_EQ(bsd.pbi_pid, static_cast<std::uint32_t>(child.pid()));
  EXPECT_EQ(bsd.pbi_ppid, static_cast<std::uint32_t>(::getpid()));
  EXPECT_EQ(bsd.pbi_uid, ::geteuid());

  proc_taskinfo task{};
  ASSERT_EQ(proc_pidinfo(child.pid(), PROC_PIDTASKINFO, 0, &task, sizeof task), 96);
  EXPECT_EQ(task.pti_threadnum, 1);
  EXPECT_GT(task.pti_resident_size, 0u);
  EXPECT_GT(task.pti_virtual_size, task.pti_resident_size);

  char path[1024];
  ASSERT_GT(proc_pidpath(child.pid(), path, sizeof path), 0);
  EXPECT_EQ(std::string(path), exe.string());

  // Once reaped the process is gone, and every call says so.
  const pid_t gone = child.pid();
  child.stop();
  EXPECT_EQ(proc_pidinfo(gone, PROC_PIDTBSDINFO, 0, &bsd, sizeof bsd), 0);
  EXPECT_EQ(proc_pidinfo(gone, PROC_PIDTASKINFO, 0, &task, sizeof task), 0);
  EXPECT_EQ(proc_pidpath(gone, path, sizeof path), 0);
}

// Resident size and a single thread are checked against psutil end to end.
TEST(Libproc, CountsEveryThread) {
  std::latch release(1);
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) threads.emplace_back([&] { release.wait(); });
  proc_taskinfo task{};
  ASSERT_EQ(proc_pidinfo(::getpid(), PROC_PIDTASKINFO, 0, &task, sizeof task), 96);
  const auto tasks = std::distance(fs::directory_iterator("/proc/self/task"), {});
  release.count_down();
  for (auto& t : threads) t.join();
  EXPECT_EQ(task.pti_threadnum, tasks);
}

TEST(Libproc, CpuTimeIsInNanosecondsAndNeverGoesBack) {
  proc_taskinfo before{}, after{};
  ASSERT_EQ(proc_pidinfo(::getpid(), PROC_PIDTASKINFO, 0, &before, sizeof before), 96);
  // Burn 50 ms of CPU, several ticks' worth.
  timespec start{}, now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
  do {
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  } while ((now.tv_sec - start.tv_sec) * 1'000'000'000 + (now.tv_nsec - start.tv_nsec) <
           50'000'000);
  ASSERT_EQ(proc_pidinfo(::getpid(), PROC_PIDTASKINFO, 0, &after, sizeof after), 96);
  const std::uint64_t tick = 1'000'000'000 / static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));
  EXPECT_EQ(after.pti_total_user % tick, 0u);
  EXPECT_GE(after.pti_total_user + after.pti_total_system,
            before.pti_total_user + before.pti_total_system + tick);
}

TEST(Libproc, ReportsTheEffectiveUidOfANonDumpableProcess) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(1234, 65534, 4321) != 0) _exit(1);
    ::prctl(PR_SET_DUMPABLE, 0);
    ::pause();
    _exit(0);
  }
  Child child(pid);
  proc_bsdinfo bsd{};
  for (int i = 0; i < 500 && bsd.pbi_uid != 65534; ++i) {
    ::usleep(2000);
    ASSERT_EQ(proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &bsd, sizeof bsd), 136);
  }
  EXPECT_EQ(bsd.pbi_uid, 65534u);
  EXPECT_EQ(bsd.pbi_ruid, 1234u);
  EXPECT_EQ(bsd.pbi_svuid, 4321u);
  EXPECT_EQ(bsd.pbi_gid, 65534u);
}

TEST(Libproc, PathTooLongForTheBufferIsUnreadableNotTruncated) {
  TempDir dir;
  fs::path deep = dir.path();
  while (deep.string().size() < 1100) deep /= std::string(100, 'd');
  fs::create_directories(deep);
  const fs::path exe = deep / "sleeper";
  fs::copy_file("/bin/sleep", exe);
  Child child = runSleep(exe.string());
  char path[1024];
  std::memset(path, 'x', sizeof path);
  errno = 0;
  EXPECT_EQ(proc_pidpath(child.pid(), path, sizeof path), 0);
  EXPECT_EQ(errno, ENAMETOOLONG);
  char big[4096];
  EXPECT_EQ(proc_pidpath(child.pid(), big, sizeof big), static_cast<int>(exe.string().size()));
}

TEST(Libproc, KernelThreadsHaveNoPathAndNoMemory) {
  for (std::int32_t pid : allPids()) {
    proc_bsdinfo bsd{};
    if (proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &bsd, sizeof bsd) != 136) continue;
    if (bsd.pbi_pid != 2 && bsd.pbi_ppid != 2) continue;  // kthreadd and its children
    proc_taskinfo task{};
    ASSERT_EQ(proc_pidinfo(pid, PROC_PIDTASKINFO, 0, &task, sizeof task), 96);
    EXPECT_EQ(task.pti_resident_size, 0u);
    EXPECT_EQ(task.pti_virtual_size, 0u);
    char path[1024];
    EXPECT_EQ(proc_pidpath(pid, path, sizeof path), 0);
    return;
  }
  GTEST_SKIP() << "no kernel thread visible here";
}

TEST(Libproc, RefusesWrongFlavorsAndSizes) {
  proc_taskinfo task{};
  proc_bsdinfo bsd{};
  EXPECT_EQ(proc_pidinfo(::getpid(), PROC_PIDTASKINFO, 0, &task, 95), 0);
  EXPECT_EQ(proc_pidinfo(::getpid(), PROC_PIDTBSDINFO, 0, &bsd, 135), 0);
  EXPECT_EQ(proc_pidinfo(::getpid(), 99, 0, &bsd, sizeof bsd), 0);
  EXPECT_EQ(proc_pidinfo(0, PROC_PIDTBSDINFO, 0, &bsd, sizeof bsd), 0);
  EXPECT_EQ(proc_listpids(2, 0, nullptr, 0), 0);
}

TEST(Users, LooksUpNamesAndReportsMissingEntries) {
  EXPECT_EQ(userNameForUid(0), "root");
  EXPECT_EQ(userNameForUid(4'000'000'000u), std::nullopt);
}

}  // namespace
}  // namespace platform
