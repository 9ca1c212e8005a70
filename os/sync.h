// Events, sleeps and alertable waits.
//
// An alertable wait ends early when a completion routine queued to the
// waiting thread has run (result WAIT_IO_COMPLETION).  Completion routines of
// reads and writes started by a thread run only on that thread and only
// inside such a wait, never concurrently with the thread's own code.
//
// Every duration passes through the time scale below.  The product always
// asks for its real durations; a test may make them pass faster by setting a
// scale, which is the only seam through which time-outs are shortened.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "os/thread_safety.h"
#include "os/types.h"

namespace os {

namespace detail {
struct ThreadContext;
}

class Event {
 public:
  enum class Mode { kAuto, kManual };
  explicit Event(Mode mode = Mode::kAuto, bool signalled = false);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  ~Event();

  void Set();
  void Reset();

  // Consumes the signal of an auto-reset event; true when it was signalled.
  bool TryAcquire();

 private:
  friend DWORD WaitForSingleObject(Event& event, DWORD milliseconds);
  friend DWORD WaitForSingleObjectEx(Event& event, DWORD milliseconds, bool alertable);

  const Mode mode_;
  Mutex mutex_;
  std::condition_variable_any cv_;
  bool signalled_ GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<detail::ThreadContext>> alertable_waiters_ GUARDED_BY(mutex_);
};

DWORD WaitForSingleObject(Event& event, DWORD milliseconds);
DWORD WaitForSingleObjectEx(Event& event, DWORD milliseconds, bool alertable);

void Sleep(DWORD milliseconds);
// Returns WAIT_IO_COMPLETION when a completion routine ran, 0 when the time elapsed.
DWORD SleepEx(DWORD milliseconds, bool alertable);

// Queues `routine` to run on the thread that owns `context`, inside its next
// alertable wait.  Used by the I/O layer; routines for a thread that has ended
// are dropped.
void QueueCompletion(const std::shared_ptr<detail::ThreadContext>& context, std::function<void()> routine);
std::shared_ptr<detail::ThreadContext> CurrentThreadContext();

// ---- Time scale (test seam) -------------------------------------------------

// Every wait and sleep of this layer lasts milliseconds / divisor of real
// time.  1 in the product.  Observers see each requested duration before it is
// scaled, so a test can show which constant the product asked for.
class TimeScale {
 public:
  using Observer = std::function<void(const char* what, DWORD milliseconds)>;
  static void SetDivisor(unsigned divisor);
  static unsigned Divisor();
  static void SetObserver(Observer observer);
  static std::chrono::nanoseconds Scaled(DWORD milliseconds);
  static void Notify(const char* what, DWORD milliseconds);
};

// Sets a divisor for the life of a test and restores 1 afterwards.
class ScopedTimeScale {
 public:
  explicit ScopedTimeScale(unsigned divisor) { TimeScale::SetDivisor(divisor); }
  ~ScopedTimeScale() { TimeScale::SetDivisor(1); }
  ScopedTimeScale(const ScopedTimeScale&) = delete;
  ScopedTimeScale& operator=(const ScopedTimeScale&) = delete;
};

}  // namespace os
