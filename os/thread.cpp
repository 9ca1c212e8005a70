#include "os/thread.h"

#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include "os/sync.h"
#include "os/thread_safety.h"

namespace os {

struct Thread::State {
  Mutex mutex;
  std::condition_variable_any cv;
  bool ended GUARDED_BY(mutex) = false;
  DWORD exitCode GUARDED_BY(mutex) = 0;
  std::thread thread;
};

std::unique_ptr<Thread> Thread::Create(std::function<DWORD()> body) {
  auto state = std::make_shared<State>();
  // The running thread holds only its own reference to the shared state.
  std::shared_ptr<State> forThread = state;
  try {
    state->thread = std::thread([forThread = std::move(forThread), body = std::move(body)]() mutable {
      const DWORD code = body();
      body = nullptr;
      MutexLock lock(forThread->mutex);
      forThread->ended = true;
      forThread->exitCode = code;
      forThread->cv.notify_all();
    });
  } catch (const std::system_error&) {
    return nullptr;
  }
  return std::unique_ptr<Thread>(new Thread(std::move(state)));
}

Thread::Thread(std::shared_ptr<State> state) : state_(std::move(state)) {}

Thread::~Thread() {
  std::thread thread;
  bool ended;
  {
    MutexLock lock(state_->mutex);
    thread = std::move(state_->thread);
    ended = state_->ended;
  }
  // A thread that has ended is joined (it is only unwinding); one that is
  // still running keeps its state alive by itself and is let go.
  if (ended) {
    thread.join();
  } else {
    thread.detach();
  }
}

DWORD Thread::Wait(DWORD milliseconds) {
  TimeScale::Notify("Thread::Wait", milliseconds);
  UniqueMutexLock lock(state_->mutex);
  const auto ended = [&]() REQUIRES(state_->mutex) { return state_->ended; };
  if (milliseconds == INFINITE) {
    state_->cv.wait(lock.Waitable(), ended);
    return WAIT_OBJECT_0;
  }
  return state_->cv.wait_for(lock.Waitable(), TimeScale::Scaled(milliseconds), ended) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

bool Thread::HasEnded() const {
  MutexLock lock(state_->mutex);
  return state_->ended;
}

DWORD Thread::ExitCode() const {
  MutexLock lock(state_->mutex);
  return state_->exitCode;
}

}  // namespace os
