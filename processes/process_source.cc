#include "processes/process_source.h"

#include "platform/users.h"

namespace processes {

int SystemProcessSource::listPids(void* buffer, int bufferSize) {
  return platform::proc_listpids(platform::PROC_ALL_PIDS, 0, buffer, bufferSize);
}

int SystemProcessSource::pidInfo(int pid, int flavor, void* buffer, int bufferSize) {
  return platform::proc_pidinfo(pid, flavor, 0, buffer, bufferSize);
}

int SystemProcessSource::pidPath(int pid, void* buffer, std::uint32_t bufferSize) {
  return platform::proc_pidpath(pid, buffer, bufferSize);
}

std::optional<std::string> SystemProcessSource::userName(uid_t uid) {
  return platform::userNameForUid(uid);
}

}  // namespace processes
