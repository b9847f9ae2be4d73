#include "processes/process_records.h"

#include <charconv>
#include <system_error>

namespace processes {
namespace {

template <typename T>
void appendInteger(std::string& out, T value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, end);
}

}  // namespace

std::string byteCountText(std::uint64_t bytes) {
  char buf[400];
  const double d = static_cast<double>(bytes);
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed);
  std::string text(buf, end);
  if (text.find('.') == std::string::npos) text.append(".0");
  return text;
}

std::string formatDetailedProcessRecord(std::int32_t pid, std::string_view user,
                                        std::uint64_t residentSize, std::uint64_t virtualSize,
                                        std::int32_t threadCount, std::string_view path,
                                        std::string_view name) {
  std::string r;
  r.reserve(64 + user.size() + path.size() + name.size());
  appendInteger(r, pid);
  r.append("|").append(user).append("|");
  r.append(byteCountText(residentSize)).append("|");
  r.append(byteCountText(virtualSize)).append("|");
  appendInteger(r, threadCount);
  r.append("|").append(path).append("|").append(name);
  return r;
}

std::string formatProcessDataRecord(std::int32_t pid, std::uint32_t uid, std::uint64_t residentSize,
                                    std::int32_t threadCount, std::uint64_t cpuTime,
                                    std::string_view name) {
  std::string r;
  r.reserve(64 + name.size());
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
  r.append(name);
  return r;
}

}  // namespace processes
