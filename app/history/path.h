// Where the update history is kept, and the time its records give.
#pragma once

#include <string>

namespace history {

// The history file: $XDG_STATE_HOME/dotvane/history.jsonl, or
// ~/.local/state/dotvane/history.jsonl when XDG_STATE_HOME is unset, empty
// or relative; empty when there is no home either.  On Windows, in the
// user's LOCALAPPDATA.
std::string DefaultPath();
// Now, UTC, as records give it.
std::string Now();
// The name this program reports its problems under.
const char* ProgramName();

}  // namespace history
