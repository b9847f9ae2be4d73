// Where the listings read processes from: the libproc calls and the user
// lookup, behind one interface so that tests can stage what the system says.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
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
  // A table (Fields::kAll) for listings that follow each other on one
  // connection, which may keep files open from one listing to the next so
  // that the next costs less; nullptr when there is none to give (openTable
  // then serves). Dropping it closes what it kept.
  virtual std::unique_ptr<ProcessTable> openKeptTable() { return nullptr; }
};

// The machine's own processes. One instance serves every thread.
class SystemProcessSource final : public ProcessSource {
 public:
  // Descriptors the open-file limit keeps for everything but a kept table
  // (connections, their checks, the tools run).
  static constexpr std::size_t kFilesForTheRest = 1024;

  std::unique_ptr<ProcessTable> openTable(Fields fields) override;
  // One kept table at a time for the whole daemon, keeping two descriptors a
  // process (a page of kernel memory each) up to the open-file limit less
  // kFilesForTheRest: what is kept is bounded by the machine's processes,
  // however many connections ask.
  std::unique_ptr<ProcessTable> openKeptTable() override;

 private:
  std::atomic<bool> keptTableTaken_{false};
};

}  // namespace processes
