// The two listings read from the kernel: one enumeration, two record formats.
// Each sizes and fills the pid list once, then for each pid above 0, in the
// list's order, reads its task and BSD information; a pid whose either read
// does not return exactly its structure's size (it ended meanwhile) is
// passed over. Empty when the pid list cannot be read. Each call opens its
// own table: calls on several threads run side by side.
#pragma once

#include "common/replies.h"
#include "processes/process_source.h"

namespace processes {

// One DetailedProcessRecord per process, with one path lookup each and one
// user lookup per distinct uid (the same text a lookup per process gives,
// unless the user database changes during the listing; nothing is kept from
// one listing to the next).
korvane::Listing fetchDetailedProcesses(ProcessTable& table);
korvane::Listing fetchDetailedProcesses(ProcessSource& source);

// One ProcessDataRecord per process; no user or path lookups.
korvane::Listing fetchAllProcessData(ProcessTable& table);
korvane::Listing fetchAllProcessData(ProcessSource& source);

}  // namespace processes
