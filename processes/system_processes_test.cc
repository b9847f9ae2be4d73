#include "processes/system_processes.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cerrno>
#include <fstream>

#include "testsupport/testsupport.h"

namespace processes {
namespace {

using korvane::Listing;

// Every separator in a row (seed `separators`) is the ps_lines fuzz target's.
TEST(SplitOutputLines, CutsAtEveryNewlineCharacter) {
  const std::pair<std::string, Listing> cases[] = {
      {"", {}},
      {"USER PID\r\nroot 1", {"USER PID", "root 1"}},
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
  // Not UTF-8: a bad byte after valid lines, an overlong LF, U+0085 without its lead byte.
  for (const std::string bytes : {"USER PID\nroot 1\n\xFF", "a\n\xC0\x8A", "\x85"}) {
    EXPECT_EQ(splitOutputLines(bytes), std::nullopt) << bytes;
  }
}

TEST(FetchSystemProcesses, ListsTheLinesOfAToolThatFinishesAndSaysWhyForOneThatFailsOrOverruns) {
  const testsupport::TempDir temp;
  const std::string dir = temp.path(), ps = dir + "/ps";
  // Runs a shell script with `body` in place of ps: its lines, or "error: WHY".
  auto fetchWith = [&](const std::string& body, std::chrono::milliseconds timeout) {
    if (!body.empty()) testsupport::writeFile(ps, "#!/bin/sh\n" + body + "\n", 0700);
    std::string err;
    const auto lines =
        fetchSystemProcesses({body.empty() ? dir + "/missing" : ps, timeout, 1000}, &err);
    return lines ? *lines : Listing{"error: " + err};
  };
  const std::chrono::milliseconds later = std::chrono::minutes(5), soon{300};
  EXPECT_EQ(fetchWith(R"(printf 'USER\r\n%s|%s\n\n' "$1" "$2"; echo no >&2; exit 3)", later),
            (Listing{"USER", "-axco|user,pid,pcpu,comm"}));
  EXPECT_EQ(fetchWith(R"(printf 'USER\n\377\n')", later),
            Listing{"error: " + ps + " wrote text that is not UTF-8"});
  EXPECT_EQ(fetchWith("head -c 1001 /dev/zero", later),
            Listing{"error: " + ps + " wrote too much"});
  EXPECT_EQ(fetchWith("echo USER; exec >&-; exec sleep 1000", soon),
            Listing{"error: " + ps + " did not finish in time"});
  EXPECT_EQ(fetchWith("", later),
            Listing{"error: posix_spawn " + dir + "/missing: No such file or directory"});
  // Never ends: killed and reaped (no longer a child of ours).
  EXPECT_EQ(fetchWith("echo $$ > " + dir + "/pid; echo USER; exec sleep 1000", soon),
            Listing{"error: " + ps + " did not finish in time"});
  pid_t pid = 0;
  std::ifstream(dir + "/pid") >> pid;
  ASSERT_GT(pid, 0);
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace processes
