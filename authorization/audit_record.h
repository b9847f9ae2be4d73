// A record of every act and every denial: one structured journal entry
// (SYSLOG_IDENTIFIER com.korvane.helper), or one line on standard error
// where there is no journal.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace authorization {

inline constexpr char kSyslogIdentifier[] = "com.korvane.helper";
inline constexpr char kJournalSocket[] = "/run/systemd/journal/socket";

// MESSAGE_ID of each kind of record (journalctl MESSAGE_ID=...).
inline constexpr char kActDoneMessageId[] = "4681818f087b44d8ab91d1eccd0245ca";
inline constexpr char kActFailedMessageId[] = "faf4b2ee58b34901a2412687c7d5ac8c";
inline constexpr char kDeniedMessageId[] = "0f7cba8ea45a462dbfc4ec29c6ff7392";

enum class Outcome { kDone, kFailed, kDenied };
enum class AuthorizedBy { kRoot, kGroup, kPolkit, kDenied };

// One act or denial. Empty optionals are fields that do not apply to the
// act and are left out of the record. Values may hold any bytes.
struct AuditRecord {
  Outcome outcome = Outcome::kDenied;
  std::string action;  // an action id of actions.h
  pid_t callerPid = -1;
  uid_t callerUid = static_cast<uid_t>(-1);
  std::string callerExe;
  AuthorizedBy authorizedBy = AuthorizedBy::kDenied;
  // The target of a signal, read before it was sent.
  std::optional<pid_t> targetPid;
  std::optional<uid_t> targetUid;
  std::optional<std::string> targetComm;
  std::optional<std::string> signal;  // as requested ("-9", "-STOP"); "-KILL" for terminate
  std::optional<std::string> path;    // uninstall
  std::optional<std::string> ports;   // firewall, e.g. "inbound-tcp 22,80; outbound-udp 53"
  std::optional<std::string> result;  // the reply's outcome or the reason for a denial
};

// "root", "group", "polkit" or "denied".
const char* authorizedByName(AuthorizedBy by);

// The record's one readable line (its MESSAGE), e.g.
//   Done: com.korvane.helper.signal-process by uid 1000 pid 4242
//   (/usr/bin/korvane-helperctl), authorized by polkit; target pid 77 (sshd)
//   uid 0; signal -9; result YES
// Control characters, backslashes and the bytes of values that are not
// UTF-8 are written as \xNN, so it is one line of text whatever the values
// hold. Pure.
std::string auditLine(const AuditRecord& record);

// The journal fields of the record, in order: MESSAGE, PRIORITY (5 for an
// act done, 4 for an act failed or denied), MESSAGE_ID, SYSLOG_IDENTIFIER,
// then the KORVANE_* fields that apply, values exact. Pure.
std::vector<std::pair<std::string, std::string>> auditFields(const AuditRecord& record);

// Sends the record to the journal at kJournalSocket; when that socket is
// missing or the send fails, writes auditLine() and a newline to standard
// error instead. Safe on any thread.
void writeAuditRecord(const AuditRecord& record);

// Where the request handler's records and notes go: the seam in front of the
// journal. Safe from any thread.
class Journal {
 public:
  virtual ~Journal() = default;
  // One act or denial.
  virtual void record(const AuditRecord& record) = 0;
  // A failure that is no act, for the operator, e.g. a listing that came
  // back empty because its tool failed. One line of text.
  virtual void note(std::string_view line) = 0;
};

// writeAuditRecord for records; notes go to standard error (the service
// manager's log) as "com.korvane.helper: LINE".
class SystemJournal final : public Journal {
 public:
  void record(const AuditRecord& record) override { writeAuditRecord(record); }
  void note(std::string_view line) override;
};

}  // namespace authorization
