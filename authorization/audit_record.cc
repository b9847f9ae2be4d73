#include "authorization/audit_record.h"

#include <sys/stat.h>
#include <sys/uio.h>

// The record carries its own fields only, not the CODE_FILE, CODE_LINE and
// CODE_FUNC that sd-journal's macros would add.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#include <unistd.h>

#include "common/utf8.h"
#include "platform/fd_io.h"

namespace authorization {
namespace {

const char* outcomeWord(Outcome outcome) {
  switch (outcome) {
    case Outcome::kDone:
      return "Done";
    case Outcome::kFailed:
      return "Failed";
    case Outcome::kDenied:
      return "Denied";
  }
  return "Denied";
}

const char* messageId(Outcome outcome) {
  switch (outcome) {
    case Outcome::kDone:
      return kActDoneMessageId;
    case Outcome::kFailed:
      return kActFailedMessageId;
    case Outcome::kDenied:
      return kDeniedMessageId;
  }
  return kDeniedMessageId;
}

// `value` as one line of text (see auditLine()).
std::string escaped(std::string_view value) {
  const bool utf8 = common::isValidUtf8(value);
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || c == '\\' || (byte >= 0x80 && !utf8)) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

const char* authorizedByName(AuthorizedBy by) {
  switch (by) {
    case AuthorizedBy::kRoot:
      return "root";
    case AuthorizedBy::kGroup:
      return "group";
    case AuthorizedBy::kPolkit:
      return "polkit";
    case AuthorizedBy::kDenied:
      return "denied";
  }
  return "denied";
}

std::string auditLine(const AuditRecord& r) {
  std::string line = std::string(outcomeWord(r.outcome)) + ": " + escaped(r.action) +
                     (r.outcome == Outcome::kDenied ? " to uid " : " by uid ") +
                     std::to_string(r.callerUid) + " pid " + std::to_string(r.callerPid) + " (" +
                     escaped(r.callerExe) + ")";
  if (r.authorizedBy != AuthorizedBy::kDenied) {
    line += std::string(", authorized by ") + authorizedByName(r.authorizedBy);
  }
  if (r.targetPid || r.targetComm || r.targetUid) {
    line += "; target";
    if (r.targetPid) line += " pid " + std::to_string(*r.targetPid);
    if (r.targetComm) line += " (" + escaped(*r.targetComm) + ")";
    if (r.targetUid) line += " uid " + std::to_string(*r.targetUid);
  }
  if (r.signal) line += "; signal " + escaped(*r.signal);
  if (r.path) line += "; path " + escaped(*r.path);
  if (r.ports) line += "; ports " + escaped(*r.ports);
  if (r.result) line += "; result " + escaped(*r.result);
  return line;
}

std::vector<std::pair<std::string, std::string>> auditFields(const AuditRecord& r) {
  std::vector<std::pair<std::string, std::string>> fields = {
      {"MESSAGE", auditLine(r)},
      {"PRIORITY", r.outcome == Outcome::kDone ? "5" : "4"},
      {"MESSAGE_ID", messageId(r.outcome)},
      {"SYSLOG_IDENTIFIER", kSyslogIdentifier},
      {"KORVANE_ACTION", r.action},
      {"KORVANE_CALLER_PID", std::to_string(r.callerPid)},
      {"KORVANE_CALLER_UID", std::to_string(r.callerUid)},
      {"KORVANE_CALLER_EXE", r.callerExe},
      {"KORVANE_AUTHORIZED_BY", authorizedByName(r.authorizedBy)},
  };
  if (r.targetPid) fields.emplace_back("KORVANE_TARGET_PID", std::to_string(*r.targetPid));
  if (r.targetUid) fields.emplace_back("KORVANE_TARGET_UID", std::to_string(*r.targetUid));
  if (r.targetComm) fields.emplace_back("KORVANE_TARGET_COMM", *r.targetComm);
  if (r.signal) fields.emplace_back("KORVANE_SIGNAL", *r.signal);
  if (r.path) fields.emplace_back("KORVANE_PATH", *r.path);
  if (r.ports) fields.emplace_back("KORVANE_PORTS", *r.ports);
  if (r.result) fields.emplace_back("KORVANE_RESULT", *r.result);
  return fields;
}

void SystemJournal::note(std::string_view line) {
  platform::writeAll(STDERR_FILENO,
                     std::string(kSyslogIdentifier) + ": " + std::string(line) + "\n");
}

void writeAuditRecord(const AuditRecord& record) {
  const auto fields = auditFields(record);
  // sd_journal_sendv reports success when the socket is missing, so look
  // first. Each field goes as one KEY=VALUE iovec: sd-journal frames values
  // holding newlines itself, so every value arrives exactly.
  struct stat st {};
  if (::stat(kJournalSocket, &st) == 0 && S_ISSOCK(st.st_mode)) {
    std::vector<std::string> entries;
    std::vector<iovec> iov;
    entries.reserve(fields.size());
    iov.reserve(fields.size());
    for (const auto& [key, value] : fields) {
      entries.push_back(key);
      entries.back().append("=").append(value);
      iov.push_back({entries.back().data(), entries.back().size()});
    }
    if (sd_journal_sendv(iov.data(), static_cast<int>(iov.size())) == 0) return;
  }
  platform::writeAll(STDERR_FILENO, fields.front().second + "\n");
}

}  // namespace authorization
