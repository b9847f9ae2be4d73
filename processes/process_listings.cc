#include "processes/process_listings.h"

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "common/utf8.h"
#include "processes/process_records.h"

namespace processes {
namespace {

constexpr std::uint32_t kPathBufferSize = 1024;

}  // namespace

std::string processName(const platform::proc_bsdinfo& bsd) {
  const std::size_t n = strnlen(bsd.pbi_name, sizeof bsd.pbi_name);
  return common::decodeUtf8Lossy(std::string_view(bsd.pbi_name, n));
}

bool forEachProcess(ProcessSource& source, const std::function<void(const ProcessInfo&)>& visit) {
  const int bytes = source.listPids(nullptr, 0);
  if (bytes < 1) return false;
  std::vector<std::int32_t> pids(static_cast<std::size_t>(bytes) / sizeof(std::int32_t));
  const int filled = pids.empty() ? 0 : source.listPids(pids.data(), bytes);
  const int count = filled / static_cast<int>(sizeof(std::int32_t));
  if (count <= 0) return false;
  // A source that claims more than it was given room for is not believed.
  const std::size_t n = std::min(static_cast<std::size_t>(count), pids.size());
  ProcessInfo info{};
  for (std::size_t i = 0; i < n; ++i) {
    info.pid = pids[i];
    if (info.pid < 1) continue;
    info.task = {};
    info.bsd = {};
    if (source.pidInfo(info.pid, platform::PROC_PIDTASKINFO, &info.task, sizeof info.task) !=
        static_cast<int>(sizeof info.task)) {
      continue;
    }
    if (source.pidInfo(info.pid, platform::PROC_PIDTBSDINFO, &info.bsd, sizeof info.bsd) !=
        static_cast<int>(sizeof info.bsd)) {
      continue;
    }
    visit(info);
  }
  return true;
}

common::Listing fetchDetailedProcesses(ProcessSource& source) {
  common::Listing records;
  forEachProcess(source, [&](const ProcessInfo& p) {
    std::string user = std::to_string(p.bsd.pbi_uid);
    if (auto name = source.userName(p.bsd.pbi_uid)) user = common::decodeUtf8Lossy(*name);
    char pathBuffer[kPathBufferSize] = {};
    std::string path = "Unknown";
    if (source.pidPath(p.pid, pathBuffer, sizeof pathBuffer) >= 1) {
      // The source NUL-terminates; strnlen guards against one that does not.
      path = common::decodeUtf8Lossy(
          std::string_view(pathBuffer, strnlen(pathBuffer, sizeof pathBuffer)));
    }
    records.push_back(formatDetailedProcessRecord(p.pid, user, p.task.pti_resident_size,
                                                  p.task.pti_virtual_size, p.task.pti_threadnum,
                                                  path, processName(p.bsd)));
  });
  return records;
}

common::Listing fetchAllProcessData(ProcessSource& source) {
  common::Listing records;
  forEachProcess(source, [&](const ProcessInfo& p) {
    // Saturate rather than wrap: a wrapped sum would report a busy process as idle.
    std::uint64_t cpu;
    if (__builtin_add_overflow(p.task.pti_total_user, p.task.pti_total_system, &cpu)) {
      cpu = std::numeric_limits<std::uint64_t>::max();
    }
    records.push_back(formatProcessDataRecord(p.pid, p.bsd.pbi_uid, p.task.pti_resident_size,
                                              p.task.pti_threadnum, cpu, processName(p.bsd)));
  });
  return records;
}

}  // namespace processes
