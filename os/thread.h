// Threads with a bounded join.
//
// A thread object may be destroyed while its thread still runs: the thread
// keeps only shared state of its own, so a thread that did not end within its
// owner's wait never touches a destroyed thread object.  (It must equally not
// touch other objects its owner frees; the owners arrange that.)
#pragma once

#include <functional>
#include <memory>

#include "os/types.h"

namespace os {

class Thread {
 public:
  // Starts `body` at once; its result is the thread's exit code.
  // Returns nullptr when the thread cannot be created.
  static std::unique_ptr<Thread> Create(std::function<DWORD()> body);

  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // WAIT_OBJECT_0 once the thread has ended, WAIT_TIMEOUT after `milliseconds`.
  DWORD Wait(DWORD milliseconds);
  bool HasEnded() const;
  DWORD ExitCode() const;

 private:
  struct State;
  explicit Thread(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace os
