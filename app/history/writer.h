// Writing the update history.  It must never delay, block or fail an
// update: records are handed to a writer thread of their own, and a record
// that cannot be written is reported on standard error and dropped.
#pragma once

#include "app/history/record.h"
#include "os/types.h"

namespace history {

// Queues the record for the writer thread; returns at once.  The writer
// makes each line durable (fsync) before it takes the next.
void Append(const Record& record);
// Waits up to `milliseconds` (through the time scale) for every queued
// record to be written or given up; true when none is left.
bool Flush(os::DWORD milliseconds);
// How long the program waits for the history on its way out.
inline constexpr os::DWORD kExitFlushMs = 2000;
// How long a write to the display waits for the record that says it began
// to be on disk.  A healthy disk takes milliseconds; a hung one must not
// hold the update: past this the write goes on, and the record follows
// whenever the disk takes it.
inline constexpr os::DWORD kWriteBegunFlushMs = 2000;
// The in-process demo updates emulated displays: their attempts are not
// the user's history.
void SetEnabled(bool enabled);
bool Enabled();

}  // namespace history
