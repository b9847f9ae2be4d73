#include "processes/process_listings.h"

#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/libproc.h"
#include "processes/process_records.h"

namespace processes {
namespace {

constexpr std::uint32_t kPathBufferSize = 1024;

struct ProcessInfo {
  std::int32_t pid;
  platform::proc_taskinfo task;
  platform::proc_bsdinfo bsd;
};

// pbi_name up to its first NUL, at most the whole field.
std::string_view processName(const platform::proc_bsdinfo& bsd) {
  return {bsd.pbi_name, strnlen(bsd.pbi_name, sizeof bsd.pbi_name)};
}

template <typename Visit>
void forEachProcess(ProcessTable& table, Visit visit) {
  const int bytes = table.listPids(nullptr, 0);
  if (bytes < 1) return;
  std::vector<std::int32_t> pids(static_cast<std::size_t>(bytes) / sizeof(std::int32_t));
  const int filled = pids.empty() ? 0 : table.listPids(pids.data(), bytes);
  const int count = filled / static_cast<int>(sizeof(std::int32_t));
  if (count <= 0) return;
  // A table that claims more than it was given room for is not believed.
  const std::size_t n = std::min(static_cast<std::size_t>(count), pids.size());
  ProcessInfo info{};
  for (std::size_t i = 0; i < n; ++i) {
    info.pid = pids[i];
    if (info.pid < 1) continue;
    info.task = {};
    info.bsd = {};
    if (table.pidInfo(info.pid, platform::PROC_PIDTASKINFO, &info.task, sizeof info.task) !=
            static_cast<int>(sizeof info.task) ||
        table.pidInfo(info.pid, platform::PROC_PIDTBSDINFO, &info.bsd, sizeof info.bsd) !=
            static_cast<int>(sizeof info.bsd)) {
      continue;
    }
    visit(info);
  }
}

}  // namespace

korvane::Listing fetchDetailedProcesses(ProcessTable& table) {
  korvane::Listing records;
  char path[kPathBufferSize];
  // Each uid's name as the user database gave it, or its number: looked up
  // once per listing (processes share few owners), forgotten with it.
  std::unordered_map<std::uint32_t, std::string> users;
  forEachProcess(table, [&](const ProcessInfo& p) {
    auto [known, first] = users.try_emplace(p.bsd.pbi_uid);
    if (first) {
      if (auto name = table.userName(p.bsd.pbi_uid)) {
        known->second = *name;
      } else {
        known->second = std::to_string(p.bsd.pbi_uid);
      }
    }
    const std::string_view user = known->second;
    path[0] = '\0';
    // The table NUL-terminates; strnlen guards against one that does not.
    const std::string_view pathText = table.pidPath(p.pid, path, sizeof path) >= 1
                                          ? std::string_view(path, strnlen(path, sizeof path))
                                          : std::string_view("Unknown");
    records.push_back(formatDetailedProcessRecord(p.pid, user, p.task.pti_resident_size,
                                                  p.task.pti_virtual_size, p.task.pti_threadnum,
                                                  pathText, processName(p.bsd)));
  });
  return records;
}

korvane::Listing fetchAllProcessData(ProcessTable& table) {
  korvane::Listing records;
  forEachProcess(table, [&](const ProcessInfo& p) {
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

korvane::Listing fetchDetailedProcesses(ProcessSource& source) {
  return fetchDetailedProcesses(*source.openTable(Fields::kWithoutTimes));
}

korvane::Listing fetchAllProcessData(ProcessSource& source) {
  return fetchAllProcessData(*source.openTable(Fields::kAll));
}

}  // namespace processes
