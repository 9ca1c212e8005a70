// A history file read back as the attempts it records.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "app/history/record.h"
#include "os/types.h"

namespace history {

struct Entry {
  int line = 0;                  // the line it was read from
  std::optional<Record> record;  // nothing: the line is not a record that can be read
};

// The attempts in order.  An attempt that ended stands where its end record
// is.  One that began to write and never ended (its program killed, the
// power cut) stands where it began, as a writing record with the furthest
// offset recorded.  Histories written before writes were recorded hold end
// records alone, each its own attempt.  Empty lines are passed over.
std::vector<Entry> ReadAttempts(std::istream& in);

// The display's last attempt (same maker and model, same serial where both
// are known) when it never ended; nothing otherwise, also when the history
// is off or cannot be read within `milliseconds` (through the time scale).
std::optional<Record> InterruptedAttempt(const std::string& path, const Record& display, os::DWORD milliseconds);
// How long the main window waits for that answer.
inline constexpr os::DWORD kInterruptedLookupMs = 1000;

}  // namespace history
