#include "processes/system_processes.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

namespace processes {
namespace {

using common::Listing;

TEST(SplitOutputLines, CutsAtEveryNewlineCharacter) {
  const std::pair<std::string, Listing> cases[] = {
      {"", {}},
      {"USER PID\nroot 1\n", {"USER PID", "root 1"}},
      {"USER PID\r\nroot 1", {"USER PID", "root 1"}},
      {"a\rb\vc\fd", {"a", "b", "c", "d"}},
      {"a\xC2\x85"
       "b\xE2\x80\xA8"
       "c\xE2\x80\xA9",
       {"a", "b", "c"}},
      {"\n\n\r\n\xE2\x80\xA9", {}},
      {"   \n\n  x\t \n", {"   ", "  x\t "}},
      // Near misses of the separators, and NUL, stay in the line.
      {"\xC2\xA0\xE2\x80\xA7\xE2\x81\xA8"
       "caf\xC3\xA9",
       {"\xC2\xA0\xE2\x80\xA7\xE2\x81\xA8"
        "caf\xC3\xA9"}},
      {std::string("nul\0kept\n", 9), {std::string("nul\0kept", 8)}},
  };
  for (const auto& [bytes, lines] : cases) EXPECT_EQ(splitOutputLines(bytes), lines) << bytes;
  for (const std::string bytes : {
           "USER PID\nroot 1\n\xFF",  // a bad byte after valid lines
           "a\n\xC0\x8A"
           "b",                 // overlong LF
           "a\xE0\x80\x8A",     // overlong LF, three bytes
           "\xED\xA0\x80\n",    // surrogate
           "\xF4\x90\x80\x80",  // above U+10FFFF
           "a\xE2\x80",         // truncated U+2028
           "\x85",              // U+0085 without its lead byte
       }) {
    EXPECT_EQ(splitOutputLines(bytes), std::nullopt) << bytes;
  }
}

class FetchSystemProcesses : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/korvane-ps-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  // Runs a shell script with `body` in place of ps.
  Listing fetchWithFakeTool(const std::string& body, std::chrono::milliseconds timeout,
                            std::size_t maxOutputBytes = 1000) {
    std::ofstream(dir_ + "/ps") << "#!/bin/sh\n" << body << "\n";
    std::filesystem::permissions(dir_ + "/ps", std::filesystem::perms::owner_all);
    return fetchSystemProcesses({dir_ + "/ps", timeout, maxOutputBytes});
  }
  std::string dir_;
};

TEST_F(FetchSystemProcesses, ListsTheOutputLinesOfAToolThatFinishes) {
  EXPECT_EQ(fetchWithFakeTool(R"(printf 'USER\r\n%s|%s\n\n' "$1" "$2"; echo no >&2; exit 3)",
                              std::chrono::minutes(5)),
            (Listing{"USER", "-axco|user,pid,pcpu,comm"}));
}

TEST_F(FetchSystemProcesses, EmptyWhenTheToolFailsOrOverruns) {
  const std::chrono::milliseconds later = std::chrono::minutes(5), soon{300};
  EXPECT_EQ(fetchWithFakeTool(R"(printf 'USER\n\377\n')", later), Listing{});
  EXPECT_EQ(fetchWithFakeTool("head -c 1001 /dev/zero", later), Listing{});
  EXPECT_EQ(fetchWithFakeTool("echo USER; exec >&-; exec sleep 1000", soon), Listing{});
  EXPECT_EQ(fetchSystemProcesses({dir_ + "/missing"}), Listing{});
  // Never ends: killed and reaped (no longer a child of ours).
  EXPECT_EQ(fetchWithFakeTool("echo $$ > " + dir_ + "/pid; echo USER; exec sleep 1000", soon),
            Listing{});
  pid_t pid = 0;
  std::ifstream(dir_ + "/pid") >> pid;
  ASSERT_GT(pid, 0);
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace processes
