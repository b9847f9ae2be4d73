#include "processes/process_records.h"

#include <charconv>
#include <system_error>

#include "common/utf8.h"

namespace processes {
namespace {

template <typename T>
void appendInteger(std::string& out, T value) {
  char buf[24];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, end);
}

void appendByteCount(std::string& out, std::uint64_t bytes) {
  // 2^64 in fixed notation is 20 digits.
  char buf[32];
  const auto [end, ec] =
      std::to_chars(buf, buf + sizeof buf, static_cast<double>(bytes), std::chars_format::fixed);
  out.append(buf, end);
  if (std::string_view(buf, end - buf).find('.') == std::string_view::npos) out.append(".0");
}

// Text from the system is nearly always valid: copy it straight.
void appendText(std::string& out, std::string_view bytes) {
  if (common::isValidUtf8(bytes)) {
    out.append(bytes);
  } else {
    out.append(common::decodeUtf8Lossy(bytes));
  }
}

}  // namespace

std::string formatDetailedProcessRecord(std::int32_t pid, std::string_view user,
                                        std::uint64_t residentSize, std::uint64_t virtualSize,
                                        std::int32_t threadCount, std::string_view path,
                                        std::string_view name) {
  std::string r;
  r.reserve(72 + user.size() + path.size() + name.size());
  appendInteger(r, pid);
  r.push_back('|');
  appendText(r, user);
  r.push_back('|');
  appendByteCount(r, residentSize);
  r.push_back('|');
  appendByteCount(r, virtualSize);
  r.push_back('|');
  appendInteger(r, threadCount);
  r.push_back('|');
  appendText(r, path);
  r.push_back('|');
  appendText(r, name);
  return r;
}

std::string formatProcessDataRecord(std::int32_t pid, std::uint32_t uid, std::uint64_t residentSize,
                                    std::int32_t threadCount, std::uint64_t cpuTime,
                                    std::string_view name) {
  std::string r;
  r.reserve(72 + name.size());
  appendInteger(r, pid);
  r.push_back('|');
  appendInteger(r, uid);
  r.push_back('|');
  appendInteger(r, residentSize);
  r.push_back('|');
  appendInteger(r, threadCount);
  r.push_back('|');
  appendInteger(r, cpuTime);
  r.push_back('|');
  appendText(r, name);
  return r;
}

}  // namespace processes
