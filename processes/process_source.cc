#include "processes/process_source.h"

#include <sys/resource.h>

#include <algorithm>

#include "platform/libproc.h"
#include "platform/users.h"

namespace processes {
namespace {

class SystemProcessTable final : public ProcessTable {
 public:
  explicit SystemProcessTable(platform::ProcFields fields, std::size_t keptFiles = 0,
                              std::atomic<bool>* taken = nullptr)
      : lease_(taken), table_(fields, keptFiles) {}

  int listPids(void* buffer, int bufferSize) override {
    return table_.listPids(platform::PROC_ALL_PIDS, 0, buffer, bufferSize);
  }
  int pidInfo(int pid, int flavor, void* buffer, int bufferSize) override {
    return table_.pidInfo(pid, flavor, 0, buffer, bufferSize);
  }
  int pidPath(int pid, void* buffer, std::uint32_t bufferSize) override {
    return table_.pidPath(pid, buffer, bufferSize);
  }
  std::optional<std::string_view> userName(uid_t uid) override { return users_.find(uid); }

 private:
  // The source's flag a kept table clears when dropped. Declared before the
  // table so that it is cleared only once the table's descriptors are closed:
  // the next kept table never adds to them.
  struct Lease {
    explicit Lease(std::atomic<bool>* flag) : taken(flag) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() {
      if (taken != nullptr) taken->store(false);
    }
    std::atomic<bool>* taken;
  };
  Lease lease_;
  platform::ProcTable table_;
  platform::UserNames users_;
};

}  // namespace

std::unique_ptr<ProcessTable> SystemProcessSource::openTable(Fields fields) {
  return std::make_unique<SystemProcessTable>(
      fields == Fields::kAll ? platform::ProcFields::kAll : platform::ProcFields::kWithoutTimes);
}

std::unique_ptr<ProcessTable> SystemProcessSource::openKeptTable() {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return nullptr;
  const auto limit = static_cast<std::size_t>(std::min<rlim_t>(files.rlim_cur, 1 << 20));
  if (limit <= kFilesForTheRest || keptTableTaken_.exchange(true)) return nullptr;
  return std::make_unique<SystemProcessTable>(platform::ProcFields::kAll,
                                              limit - kFilesForTheRest, &keptTableTaken_);
}

}  // namespace processes
