// Where the listings read processes from: the libproc calls and the user
// lookup, behind one interface so that tests can stage what the system says.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/libproc.h"

namespace processes {

class ProcessSource {
 public:
  virtual ~ProcessSource() = default;
  // Same contracts as platform::proc_listpids (type PROC_ALL_PIDS),
  // proc_pidinfo (arg 0), proc_pidpath and platform::userNameForUid.
  virtual int listPids(void* buffer, int bufferSize) = 0;
  virtual int pidInfo(int pid, int flavor, void* buffer, int bufferSize) = 0;
  virtual int pidPath(int pid, void* buffer, std::uint32_t bufferSize) = 0;
  virtual std::optional<std::string> userName(uid_t uid) = 0;
};

// The machine's own processes. Stateless; one instance may serve every thread.
class SystemProcessSource final : public ProcessSource {
 public:
  int listPids(void* buffer, int bufferSize) override;
  int pidInfo(int pid, int flavor, void* buffer, int bufferSize) override;
  int pidPath(int pid, void* buffer, std::uint32_t bufferSize) override;
  std::optional<std::string> userName(uid_t uid) override;
};

}  // namespace processes
