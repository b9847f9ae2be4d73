#include "processes/process_source.h"

#include "platform/libproc.h"
#include "platform/users.h"

namespace processes {
namespace {

class SystemProcessTable final : public ProcessTable {
 public:
  explicit SystemProcessTable(platform::ProcFields fields) : table_(fields) {}

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
  platform::ProcTable table_;
  platform::UserNames users_;
};

}  // namespace

std::unique_ptr<ProcessTable> SystemProcessSource::openTable(Fields fields) {
  return std::make_unique<SystemProcessTable>(
      fields == Fields::kAll ? platform::ProcFields::kAll : platform::ProcFields::kWithoutTimes);
}

}  // namespace processes
