// Requests from outside to end the program: SIGINT, SIGTERM, SIGHUP and
// SIGQUIT on Linux; Ctrl-C, Ctrl-Break and closing the console on Windows.
//
// A display whose firmware is half-written is left without a usable
// firmware, so from Start Download until the update has ended (the restart
// wait included) a request does not end the program: it goes to the window
// that owns the update's outcome, which says that Dotvane will end when the
// update has finished, and ends then.  Outside that window a request ends
// the program as it always did, once an attempt in progress is recorded and
// the history written.
//
// A signal handler only writes the signal's number to a pipe; a forwarder
// thread reads it and posts to the owner through the window system's core,
// so no window-system back end knows about signals.
#pragma once

#include "os/types.h"
#include "os/window.h"

namespace endreq {

// To the owner: wParam is the request (the signal's number).
inline constexpr os::UINT WM_END_REQUESTED = os::WM_APP + 9;

enum class Stage {
  kIdle,      // no attempt: a request ends the program at once
  kAttempt,   // an attempt before its write: the owner records it, then the program ends
  kUpdating,  // the display is written or finishing its update: the program ends after the outcome
};

// Installs the handlers and starts the forwarder, for its lifetime; before
// it and after it, requests have their usual effect.  One at a time.
class ScopedEndRequests {
 public:
  ScopedEndRequests();
  ~ScopedEndRequests();
  ScopedEndRequests(const ScopedEndRequests&) = delete;
  ScopedEndRequests& operator=(const ScopedEndRequests&) = delete;
};

// The window that owns the update's outcome; nullptr when there is none
// (the stage is then kIdle).  The owner sets it before it is destroyed:
// nothing is posted to it afterwards.
void SetOwner(os::Window* owner);
void SetStage(Stage stage);
Stage CurrentStage();

// Ends the program as the request would have without any of this: the
// history's queued records are written first (bounded), then the signal's
// own default action (on Windows, the exit Ctrl-C has).  For the user
// interface's thread, or the forwarder.
[[noreturn]] void EndAsRequested(int request);

}  // namespace endreq
