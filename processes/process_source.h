// Where the listings read processes from: the libproc calls and the user
// lookup, behind one interface so that tests can stage what the system says.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace processes {

// One listing's view of the system, used by one thread for one call.
class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  // The contracts of platform::ProcTable's listPids (PROC_ALL_PIDS, 0),
  // pidInfo (arg 0) and pidPath, and of platform::UserNames::find.
  virtual int listPids(void* buffer, int bufferSize) = 0;
  virtual int pidInfo(int pid, int flavor, void* buffer, int bufferSize) = 0;
  virtual int pidPath(int pid, void* buffer, std::uint32_t bufferSize) = 0;
  virtual std::optional<std::string_view> userName(uid_t uid) = 0;
};

// What a listing reads of each process.
enum class Fields {
  kAll,
  // The task information without times, faults or priority: the machine's
  // table then reads one file per process instead of three.
  kWithoutTimes,
};

// Opens a table for each listing call. Shared by every thread.
class ProcessSource {
 public:
  virtual ~ProcessSource() = default;
  virtual std::unique_ptr<ProcessTable> openTable(Fields fields) = 0;
};

// The machine's own processes. Stateless; one instance may serve every thread.
class SystemProcessSource final : public ProcessSource {
 public:
  std::unique_ptr<ProcessTable> openTable(Fields fields) override;
};

}  // namespace processes
