// The two listings read from the kernel: one enumeration, two record formats.
#pragma once

#include <cstdint>
#include <functional>

#include "common/replies.h"
#include "platform/libproc.h"
#include "processes/process_source.h"

namespace processes {

struct ProcessInfo {
  std::int32_t pid;
  platform::proc_taskinfo task;
  platform::proc_bsdinfo bsd;
};

// Sizes and fills the pid list once, then for each pid above 0, in the
// list's order, reads its task and BSD information and calls `visit`. A pid
// whose either read does not return exactly its structure's size (it ended
// meanwhile) is passed over. Returns false when the pid list could not be
// read at all (nothing was visited).
bool forEachProcess(ProcessSource& source, const std::function<void(const ProcessInfo&)>& visit);

// One DetailedProcessRecord per process; empty when the pid list cannot be read.
common::Listing fetchDetailedProcesses(ProcessSource& source);

// One ProcessDataRecord per process; empty when the pid list cannot be read.
common::Listing fetchAllProcessData(ProcessSource& source);

// The pbi_name field as text: bytes up to the first NUL (at most the field),
// invalid UTF-8 replaced by U+FFFD.
std::string processName(const platform::proc_bsdinfo& bsd);

}  // namespace processes
