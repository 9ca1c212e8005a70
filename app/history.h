// The update history: one JSON Lines record for every update attempt, in
// $XDG_STATE_HOME/dotvane/history.jsonl, so that whoever supports the user
// can read afterwards what was tried and how it ended.  Its parts, one job
// each, live in app/history/ (the dotvane_history library); the main
// window's controller is app/update_history.h.
#pragma once

#include "app/history/attempts.h"
#include "app/history/path.h"
#include "app/history/print.h"
#include "app/history/record.h"
#include "app/history/writer.h"
#include "app/update_history.h"
