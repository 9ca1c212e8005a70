// The application: runs the main dialog and ends when it ends.
#pragma once

#include <cstdint>

class CDotvaneApp {
 public:
  // Runs the main dialog modally; returns its result (1 after a completed
  // update, 2 when the user gave up or there is no image).
  std::intptr_t InitInstance();
};

// The process exit status for a main-dialog result: 0 after a completed
// update, 1 otherwise.
int ExitStatusFor(std::intptr_t dialogResult);
