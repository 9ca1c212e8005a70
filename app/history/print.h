// The history for a person to read: `dotvane --history`.
#pragma once

#include <iosfwd>
#include <string>

#include "app/history/record.h"

namespace history {

// One attempt as a sentence, "2026-12-08T17:05:21Z: Orvanta Vantor 3, ...".
// Texts from the display are shown as they are, except that control
// characters, which could move a terminal's cursor, are spelled out.
std::string Sentence(const Record& record);

// Prints the history at `path` for a person to read.  0 when it was read
// (or there is none yet), 1 when it could not be.
int Print(const std::string& path, std::ostream& out, std::ostream& err);

}  // namespace history
