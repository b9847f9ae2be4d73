#include "testsupport/testsupport.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <thread>

#include "platform/fd_io.h"

namespace testsupport {
namespace fs = std::filesystem;

TempDir::TempDir() {
  const char* base = ::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/korvane-test.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr || ::chmod(pattern.c_str(), 0755) != 0) {
    ::perror("mkdtemp");
    ::abort();
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void writeFile(const fs::path& path, std::string_view bytes, mode_t mode) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << bytes;
  file.close();
  EXPECT_TRUE(file && ::chmod(path.c_str(), mode) == 0) << "cannot write " << path;
}

std::string readFile(const fs::path& path) {
  std::string content, err;
  return platform::readWholeFile(path, &content, &err) ? content : "";
}

bool eventually(const std::function<bool()>& ready) {
  for (int i = 0; i < 1500; ++i) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int reap(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int runInChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  return pid < 0 ? -1 : reap(pid);
}

void execAs(const std::vector<std::string>& argv, std::optional<uid_t> uid) {
  if (uid && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
              ::setresuid(*uid, *uid, *uid) != 0)) {
    ::_exit(125);
  }
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test killed leaves nothing running
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  ::execv(args[0], args.data());
  ::_exit(127);
}

RunResult run(const std::vector<std::string>& argv, std::optional<uid_t> uid) {
  TempDir dir;
  const std::string out = dir.file("out"), err = dir.file("err");
  const int status = runInChild([&] {
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int n = ::open("/dev/null", O_RDONLY);
    if (o < 0 || e < 0 || n < 0 || ::dup2(n, 0) < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0) {
      return 126;
    }
    execAs(argv, uid);
  });
  return {status, readFile(out), readFile(err)};
}

}  // namespace testsupport
