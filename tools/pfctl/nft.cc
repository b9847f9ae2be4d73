#include "tools/pfctl/nft.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/unique_fd.h"

extern char** environ;

namespace pfctl {
namespace {

std::string errnoText(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);
}

class SpawnActions {
 public:
  SpawnActions() { ::posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { ::posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

}  // namespace

std::string nftPath() {
  const char* override = ::getenv("KORVANE_NFT");
  return override != nullptr && *override != '\0' ? override : "/usr/sbin/nft";
}

bool runNftScript(const std::string& nft, std::string_view script, std::string& error) {
  error.clear();
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    error = "pipe: " + errnoText(errno);
    return false;
  }
  platform::UniqueFd readEnd(ends[0]);
  platform::UniqueFd writeEnd(ends[1]);

  SpawnActions actions;
  // dup2 clears close-on-exec on the copy only: nft gets the read end as its
  // standard input and no other descriptor of ours.
  ::posix_spawn_file_actions_adddup2(actions.get(), readEnd.get(), STDIN_FILENO);
  std::string program = nft;
  std::string flag = "-f";
  std::string fromStdin = "-";
  char* argv[] = {program.data(), flag.data(), fromStdin.data(), nullptr};
  pid_t pid;
  int spawned = ::posix_spawn(&pid, nft.c_str(), actions.get(), nullptr, argv, environ);
  if (spawned != 0) {
    error = "cannot run " + nft + ": " + errnoText(spawned);
    return false;
  }
  readEnd.reset();

  // A write error (nft quit early: EPIPE, SIGPIPE is ignored by main) is not
  // reported: nft's exit status tells what happened to the script.
  std::string_view rest = script;
  while (!rest.empty()) {
    ssize_t n = ::write(writeEnd.get(), rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
  writeEnd.reset();

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      error = "waitpid: " + errnoText(errno);
      return false;
    }
  }
  if (WIFSIGNALED(status)) {
    error = nft + " ended by signal " + std::to_string(WTERMSIG(status));
    return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace pfctl
