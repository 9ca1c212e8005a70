#include "os/sync.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <thread>

#ifdef _WIN32
#include <pthread.h>
#endif

namespace os {

namespace detail {

// What a thread needs for alertable waits: its queue of completion routines
// and a way to be woken when one is queued or an event it waits on is set.
struct ThreadContext {
  Mutex mutex;
  std::condition_variable_any cv;
  std::deque<std::function<void()>> routines GUARDED_BY(mutex);
  bool poked GUARDED_BY(mutex) = false;
  bool alive GUARDED_BY(mutex) = true;
};

}  // namespace detail

namespace {

using Clock = std::chrono::steady_clock;

// Marks a context dead when its thread ends, so routines queued for a
// thread that is gone are dropped rather than kept for ever.
void EndContext(detail::ThreadContext& context) {
  MutexLock lock(context.mutex);
  context.alive = false;
  context.routines.clear();
}

#ifdef _WIN32
// MinGW's thread_local objects live in emulated TLS, which may be freed
// before their destructors run at thread exit: the destructor would then
// write to freed memory.  A POSIX thread key (winpthreads) holds the
// context outside that storage and hands it to its destructor.
class ContextKey {
 public:
  ContextKey() {
    pthread_key_create(&key_, [](void* held) {
      auto* context = static_cast<std::shared_ptr<detail::ThreadContext>*>(held);
      EndContext(**context);
      delete context;
    });
  }
  std::shared_ptr<detail::ThreadContext> Get() const {
    auto* held = static_cast<std::shared_ptr<detail::ThreadContext>*>(pthread_getspecific(key_));
    if (held == nullptr) {
      held = new std::shared_ptr<detail::ThreadContext>(std::make_shared<detail::ThreadContext>());
      pthread_setspecific(key_, held);
    }
    return *held;
  }

 private:
  pthread_key_t key_{};
};

const ContextKey& ThreadContexts() {
  static const ContextKey kKey;
  return kKey;
}
#else
struct ContextHolder {
  std::shared_ptr<detail::ThreadContext> context = std::make_shared<detail::ThreadContext>();
  ~ContextHolder() { EndContext(*context); }
};

thread_local ContextHolder t_context;
#endif

std::atomic<unsigned> g_divisor{1};
Mutex g_observerMutex;
TimeScale::Observer g_observer GUARDED_BY(g_observerMutex);

Clock::time_point DeadlineAfter(DWORD milliseconds) {
  if (milliseconds == INFINITE) return Clock::time_point::max();
  return Clock::now() + TimeScale::Scaled(milliseconds);
}

// Runs the calling thread's queued completion routines; true if any ran.
bool RunQueuedRoutines(detail::ThreadContext& context) {
  std::deque<std::function<void()>> ready;
  {
    MutexLock lock(context.mutex);
    ready.swap(context.routines);
  }
  for (auto& routine : ready) routine();
  return !ready.empty();
}

}  // namespace

std::shared_ptr<detail::ThreadContext> CurrentThreadContext() {
#ifdef _WIN32
  return ThreadContexts().Get();
#else
  return t_context.context;
#endif
}

void QueueCompletion(const std::shared_ptr<detail::ThreadContext>& context, std::function<void()> routine) {
  {
    MutexLock lock(context->mutex);
    if (!context->alive) return;
    context->routines.push_back(std::move(routine));
  }
  context->cv.notify_all();
}

// ---- Event ------------------------------------------------------------------

Event::Event(Mode mode, bool signalled) : mode_(mode), signalled_(signalled) {}
Event::~Event() = default;

void Event::Set() {
  std::vector<std::shared_ptr<detail::ThreadContext>> waiters;
  {
    MutexLock lock(mutex_);
    signalled_ = true;
    waiters = alertable_waiters_;
  }
  cv_.notify_all();
  for (auto& waiter : waiters) {
    {
      MutexLock lock(waiter->mutex);
      waiter->poked = true;
    }
    waiter->cv.notify_all();
  }
}

void Event::Reset() {
  MutexLock lock(mutex_);
  signalled_ = false;
}

bool Event::TryAcquire() {
  MutexLock lock(mutex_);
  if (!signalled_) return false;
  if (mode_ == Mode::kAuto) signalled_ = false;
  return true;
}

DWORD WaitForSingleObject(Event& event, DWORD milliseconds) {
  TimeScale::Notify("WaitForSingleObject", milliseconds);
  const auto deadline = DeadlineAfter(milliseconds);
  UniqueMutexLock lock(event.mutex_);
  const auto ready = [&]() REQUIRES(event.mutex_) { return event.signalled_; };
  if (milliseconds == INFINITE) {
    event.cv_.wait(lock.Waitable(), ready);
  } else if (!event.cv_.wait_until(lock.Waitable(), deadline, ready)) {
    return WAIT_TIMEOUT;
  }
  if (event.mode_ == Event::Mode::kAuto) event.signalled_ = false;
  return WAIT_OBJECT_0;
}

DWORD WaitForSingleObjectEx(Event& event, DWORD milliseconds, bool alertable) {
  if (!alertable) return WaitForSingleObject(event, milliseconds);
  TimeScale::Notify("WaitForSingleObjectEx", milliseconds);
  const auto deadline = DeadlineAfter(milliseconds);
  auto context = CurrentThreadContext();
  {
    MutexLock lock(event.mutex_);
    event.alertable_waiters_.push_back(context);
  }
  DWORD result = WAIT_TIMEOUT;
  for (;;) {
    if (RunQueuedRoutines(*context)) {
      result = WAIT_IO_COMPLETION;
      break;
    }
    if (event.TryAcquire()) {
      result = WAIT_OBJECT_0;
      break;
    }
    UniqueMutexLock lock(context->mutex);
    const bool woken = context->cv.wait_until(lock.Waitable(), deadline, [&]() REQUIRES(context->mutex) {
      return context->poked || !context->routines.empty();
    });
    context->poked = false;
    if (!woken) {
      // One last look: the time is up, but a signal that raced the deadline still counts.
      lock.Unlock();
      if (event.TryAcquire()) result = WAIT_OBJECT_0;
      break;
    }
  }
  {
    MutexLock lock(event.mutex_);
    auto& waiters = event.alertable_waiters_;
    waiters.erase(std::find(waiters.begin(), waiters.end(), context));
  }
  return result;
}

void Sleep(DWORD milliseconds) {
  TimeScale::Notify("Sleep", milliseconds);
  std::this_thread::sleep_for(TimeScale::Scaled(milliseconds));
}

DWORD SleepEx(DWORD milliseconds, bool alertable) {
  if (!alertable) {
    Sleep(milliseconds);
    return 0;
  }
  TimeScale::Notify("SleepEx", milliseconds);
  const auto deadline = DeadlineAfter(milliseconds);
  auto context = CurrentThreadContext();
  for (;;) {
    if (RunQueuedRoutines(*context)) return WAIT_IO_COMPLETION;
    UniqueMutexLock lock(context->mutex);
    if (!context->cv.wait_until(lock.Waitable(), deadline,
                                [&]() REQUIRES(context->mutex) { return !context->routines.empty(); })) {
      return 0;
    }
  }
}

// ---- Time scale -------------------------------------------------------------

void TimeScale::SetDivisor(unsigned divisor) { g_divisor.store(divisor == 0 ? 1 : divisor); }
unsigned TimeScale::Divisor() { return g_divisor.load(); }

void TimeScale::SetObserver(Observer observer) {
  MutexLock lock(g_observerMutex);
  g_observer = std::move(observer);
}

std::chrono::nanoseconds TimeScale::Scaled(DWORD milliseconds) {
  return std::chrono::nanoseconds(static_cast<std::int64_t>(milliseconds) * 1'000'000 / g_divisor.load());
}

void TimeScale::Notify(const char* what, DWORD milliseconds) {
  Observer observer;
  {
    MutexLock lock(g_observerMutex);
    observer = g_observer;
  }
  if (observer) observer(what, milliseconds);
}

}  // namespace os
