#pragma once

// Lock rules the compiler checks. clang's -Wthread-safety reads these attributes (CI builds with
// clang and makes its findings errors); other compilers see nothing. std::mutex carries no
// attributes in libstdc++, so locked state lives in Mutex, MutexLock and CondVar below.

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define TL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) TL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY TL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) TL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) TL_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) TL_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) TL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) TL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) TL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) TL_THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) TL_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS TL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace tunelight {

class CondVar;

// A std::mutex the analysis can follow.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  // Tells the analysis that the caller holds the lock where it cannot see it.
  void assertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mu_;
};

// Holds a Mutex for its scope, like std::lock_guard; unlock()/lock() let a scope step out of it
// for a call that must not run under the lock.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() RELEASE() {
    if (held_) mu_.unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void unlock() RELEASE() {
    mu_.unlock();
    held_ = false;
  }
  void lock() ACQUIRE() {
    mu_.lock();
    held_ = true;
  }

 private:
  Mutex& mu_;
  bool held_ = true;
};

// A condition variable for a Mutex; every wait requires that the caller holds that Mutex.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void wait(Mutex& mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  // False when the deadline passed without a signal.
  template <class Clock, class Duration>
  bool waitUntil(Mutex& mu, const std::chrono::time_point<Clock, Duration>& deadline) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    const bool signalled = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  template <class Rep, class Period>
  bool waitFor(Mutex& mu, const std::chrono::duration<Rep, Period>& timeout) REQUIRES(mu) {
    return waitUntil(mu, std::chrono::steady_clock::now() + timeout);
  }
  void signal() { cv_.notify_one(); }
  void signalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace tunelight
