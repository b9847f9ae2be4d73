// The audit record against a stand-in journal socket in a private /run, and
// its fallback to standard error.
#include "authorization/audit_record.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>

#include "authorization/actions.h"
#include "platform/unique_fd.h"
#include "tests/e2e/sandbox.h"

// Each record names only the fields it carries; the rest stay empty.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace authorization {
namespace {
using namespace std::string_literals;

platform::UniqueFd bindJournal() {
  platform::UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{.sun_family = AF_UNIX};
  std::memcpy(address.sun_path, kJournalSocket, sizeof kJournalSocket);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return fd;
}

// A caller whose executable's name is not UTF-8 signals a process whose name
// tries to add a field of its own.
const AuditRecord kSignalDone{.outcome = Outcome::kDone,
                              .action = kSignalProcessAction,
                              .callerPid = 4242,
                              .callerUid = 1000,
                              .callerExe = "/home/u/kor\xffvane",
                              .authorizedBy = AuthorizedBy::kPolkit,
                              .targetPid = 77,
                              .targetUid = 0,
                              .targetComm = "evil\nPRIORITY=0",
                              .signal = "-9",
                              .result = "YES"};
constexpr char kSignalDoneLine[] =
    "Done: com.korvane.helper.signal-process by uid 1000 pid 4242 (/home/u/kor\\xffvane), "
    "authorized by polkit; target pid 77 (evil\\x0aPRIORITY=0) uid 0; signal -9; result YES";

// Entries in journald's native protocol: KEY=VALUE\n, or, for a value that
// holds a newline, KEY\n, its 64-bit little-endian length, the value and \n.
TEST(AuditRecord, GoesToTheJournalByteForByteOrElseToStandardError) {
  std::string why;
  ASSERT_TRUE(e2e::enterPrivateNamespaces(e2e::kMountOnly, &why)) << why;
  std::filesystem::create_directories("/run/systemd/journal");
  const std::string entry =
      "MESSAGE="s + kSignalDoneLine +
      "\nPRIORITY=5\nMESSAGE_ID=4681818f087b44d8ab91d1eccd0245ca\n"
      "SYSLOG_IDENTIFIER=com.korvane.helper\nKORVANE_ACTION=com.korvane.helper.signal-process\n"
      "KORVANE_CALLER_PID=4242\nKORVANE_CALLER_UID=1000\n"
      "KORVANE_CALLER_EXE=/home/u/kor\xffvane\nKORVANE_AUTHORIZED_BY=polkit\n"
      "KORVANE_TARGET_PID=77\nKORVANE_TARGET_UID=0\n"
      "KORVANE_TARGET_COMM\n\x0f\0\0\0\0\0\0\0evil\nPRIORITY=0\n"s
      "KORVANE_SIGNAL=-9\nKORVANE_RESULT=YES\n";
  {
    const platform::UniqueFd journal = bindJournal();
    writeAuditRecord(kSignalDone);
    char datagram[65536];
    const ssize_t n = ::recv(journal.get(), datagram, sizeof datagram, MSG_DONTWAIT);
    EXPECT_EQ(std::string(datagram, std::max<ssize_t>(n, 0)), entry);
    EXPECT_EQ(::recv(journal.get(), datagram, sizeof datagram, MSG_DONTWAIT), -1);
    std::filesystem::remove(kJournalSocket);
  }

  for (const bool staleSocket : {false, true}) {
    if (staleSocket) bindJournal();  // closed at once, the file left behind
    testing::internal::CaptureStderr();
    writeAuditRecord(kSignalDone);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), kSignalDoneLine + "\n"s) << staleSocket;
  }
}

}  // namespace
}  // namespace authorization
