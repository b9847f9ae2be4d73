#include "processes/system_processes.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace processes {
namespace {

using common::Listing;

TEST(SplitOutputLines, CutsAtEveryNewlineCharacter) {
  struct Case {
    std::string bytes;
    Listing lines;
  };
  const Case cases[] = {
      {"", {}},
      {"USER PID\nroot 1\n", {"USER PID", "root 1"}},
      {"USER PID\nroot 1", {"USER PID", "root 1"}},
      {"USER PID\r\nroot 1\r\n", {"USER PID", "root 1"}},
      {"a\rb", {"a", "b"}},
      {"a\vb\fc", {"a", "b", "c"}},
      {"a\xC2\x85"
       "b",
       {"a", "b"}},
      {"a\xE2\x80\xA8"
       "b\xE2\x80\xA9"
       "c",
       {"a", "b", "c"}},
      {"\n\n\r\n\xE2\x80\xA9", {}},
      {"a\n\n\nb\n", {"a", "b"}},
      {"   \n  x  \n", {"   ", "  x  "}},
      {"\tTAB\t\n", {"\tTAB\t"}},
      // Near misses of the separators stay in the line.
      {"a\xC2\xA0"
       "b\xE2\x80\xA7"
       "c\xE2\x81\xA8",
       {"a\xC2\xA0"
        "b\xE2\x80\xA7"
        "c\xE2\x81\xA8"}},
      {"caf\xC3\xA9\n\xF0\x9F\x9A\xA8", {"caf\xC3\xA9", "\xF0\x9F\x9A\xA8"}},
      {std::string("nul\0kept\n", 9), {std::string("nul\0kept", 8)}},
  };
  for (const auto& c : cases) EXPECT_EQ(splitOutputLines(c.bytes), c.lines) << c.bytes;
}

TEST(SplitOutputLines, RefusesAnyIllFormedUtf8) {
  for (const std::string& bytes : {
           std::string("USER PID\nroot 1\n\xFF"),  // after valid lines
           std::string("\x80"
                       "USER\n"),
           std::string("a\n\xC0\x8A"
                       "b"),                 // overlong LF
           std::string("a\xE0\x80\x8A"),     // overlong LF, three bytes
           std::string("\xED\xA0\x80\n"),    // surrogate
           std::string("\xF4\x90\x80\x80"),  // above U+10FFFF
           std::string("a\xE2\x80"),         // truncated U+2028
           std::string("\x85"),              // U+0085 without its lead byte
       }) {
    EXPECT_EQ(splitOutputLines(bytes), std::nullopt) << bytes;
  }
}

class FetchSystemProcessesTest : public ::testing::Test {
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
  // Options that run a shell script with `body` in place of ps.
  SystemProcessesOptions fakeTool(const std::string& body) {
    const std::string path = dir_ + "/ps";
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
    SystemProcessesOptions options;
    options.toolPath = path;
    options.timeout = std::chrono::milliseconds(300);
    return options;
  }
  std::string dir_;
};

TEST_F(FetchSystemProcessesTest, ListsTheToolsOutputLines) {
  auto options =
      fakeTool(R"(printf 'USER PID\r\n%s|%s\r\n\r\n  \n' "$1" "$2"; echo ignored >&2; exit 3)");
  options.timeout = std::chrono::minutes(5);
  EXPECT_EQ(fetchSystemProcesses(options), (Listing{"USER PID", "-axco|user,pid,pcpu,comm", "  "}));
}

TEST_F(FetchSystemProcessesTest, EmptyWhenTheRunFails) {
  struct Case {
    const char* what;
    std::string body;
    bool endless = false;
    std::size_t maxOutputBytes = std::size_t{64} << 20;
  };
  const Case cases[] = {
      {"output not UTF-8", R"(printf 'USER PID\n\377\n')"},
      {"output too large", "head -c 100 /dev/zero", false, 99},
      {"never ends", "echo USER; exec sleep 1000", true},
      {"ends its output but never exits", "echo USER; exec >&-; exec sleep 1000", true},
  };
  for (const auto& c : cases) {
    auto options = fakeTool(c.body);
    if (!c.endless) options.timeout = std::chrono::minutes(5);
    options.maxOutputBytes = c.maxOutputBytes;
    EXPECT_EQ(fetchSystemProcesses(options), Listing{}) << c.what;
  }
  SystemProcessesOptions missing;
  missing.toolPath = dir_ + "/missing";
  EXPECT_EQ(fetchSystemProcesses(missing), Listing{});
}

TEST_F(FetchSystemProcessesTest, AToolThatNeverEndsIsKilledAndReaped) {
  const std::string pidFile = dir_ + "/pid";
  EXPECT_EQ(fetchSystemProcesses(fakeTool("echo $$ > " + pidFile + "; exec sleep 1000")),
            Listing{});
  pid_t pid = 0;
  std::ifstream(pidFile) >> pid;
  ASSERT_GT(pid, 0);
  int status;
  EXPECT_EQ(::waitpid(pid, &status, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(FetchSystemProcesses, RealPsListsHeaderAndThisProcess) {
  const Listing lines = fetchSystemProcesses();
  ASSERT_GT(lines.size(), 1u);
  std::istringstream header(lines.front());
  std::string user, pid, cpu, command;
  header >> user >> pid >> cpu >> command;
  EXPECT_EQ(user + pid + cpu + command, "USERPID%CPUCOMMAND");
  bool found = false;
  for (const auto& line : lines) {
    std::istringstream fields(line);
    fields >> user >> pid;
    found = found || pid == std::to_string(::getpid());
  }
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace processes
