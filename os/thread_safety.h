// Clang's thread-safety annotations, and a mutex the analysis understands.
//
// A member guarded by a lock says so with GUARDED_BY(lock), and a function
// that expects a lock held with REQUIRES(lock).  The Clang build
// (scripts/build.sh tsa, with -Wthread-safety) then proves that every access
// holds its lock; other compilers ignore the annotations.  The analysis
// knows only capability types: guarded members are guarded by an os::Mutex,
// held through os::MutexLock (or os::UniqueMutexLock for condition waits).
#pragma once

#include <mutex>

#if defined(__clang__)
#define DOTVANE_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define DOTVANE_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) DOTVANE_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY DOTVANE_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) DOTVANE_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) DOTVANE_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) DOTVANE_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) DOTVANE_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) DOTVANE_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define EXCLUDES(...) DOTVANE_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS DOTVANE_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace os {

// std::mutex as a capability.  Lockable, so std::condition_variable_any
// waits on it through os::UniqueMutexLock.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~MutexLock() RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

// Holds a Mutex for its scope, and lends it to a condition wait
// (std::condition_variable_any), which lets it go while it waits and holds
// it again before it returns: to the analysis it is held throughout.
class SCOPED_CAPABILITY UniqueMutexLock {
 public:
  explicit UniqueMutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex) {}
  ~UniqueMutexLock() RELEASE() {}
  UniqueMutexLock(const UniqueMutexLock&) = delete;
  UniqueMutexLock& operator=(const UniqueMutexLock&) = delete;
  std::unique_lock<Mutex>& Waitable() { return lock_; }
  // Lets the mutex go for a while (a call that must not hold it), and takes
  // it again.
  void Unlock() RELEASE() { lock_.unlock(); }
  void Lock() ACQUIRE() { lock_.lock(); }

 private:
  std::unique_lock<Mutex> lock_;
};

}  // namespace os
