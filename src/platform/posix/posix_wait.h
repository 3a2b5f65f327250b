// Mutex, monotonic-clock condition and deadline shared by the POSIX waits.
#pragma once

#include <pthread.h>
#include <time.h>

#include <cstdint>

#include "platform/platform.h"

namespace quenlix {
namespace platform {
namespace posix {

// Held by every function that enters a cancellation point of the C library.
// A cancellation unwinds frames without telling ASan, which then finds their
// stale red zones under its own frames at the next landing pad and aborts. A
// landing pad in the frame right above the C library (this destructor's)
// lets ASan clear the stack before any stale zone exists. Empty otherwise.
#if defined(__SANITIZE_ADDRESS__)
struct CancellationPoint {
  CancellationPoint() = default;
  __attribute__((noinline)) ~CancellationPoint() { asm volatile(""); }
  CancellationPoint(const CancellationPoint&) = delete;
  CancellationPoint& operator=(const CancellationPoint&) = delete;
};
#else
struct CancellationPoint {
  CancellationPoint() {}  // user-provided, so an unnamed use draws no warning
};
#endif

// Locks for a scope. It is also released when a cancellation unwinds out of
// a condition wait, which hands the mutex back locked.
class MutexLock {
 public:
  explicit MutexLock(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
  ~MutexLock() { pthread_mutex_unlock(&mutex_); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  pthread_mutex_t& mutex_;
};

// An absolute CLOCK_MONOTONIC time, or none for kInfinite.
class Deadline {
 public:
  explicit Deadline(uint32_t timeoutMs) : infinite_(timeoutMs == kInfinite) {
    if (infinite_) return;
    clock_gettime(CLOCK_MONOTONIC, &at_);
    at_.tv_sec += static_cast<time_t>(timeoutMs / 1000);
    at_.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (at_.tv_nsec >= 1000000000L) {
      at_.tv_sec += 1;
      at_.tv_nsec -= 1000000000L;
    }
  }
  bool infinite() const { return infinite_; }
  const timespec& at() const { return at_; }

 private:
  bool infinite_;
  timespec at_{};
};

// A mutex with a condition variable that times out on the monotonic clock, so
// that setting the wall clock neither stretches nor cuts a wait.
struct MonotonicCondition {
  pthread_mutex_t mutex;
  pthread_cond_t condition;
  bool initialised = false;

  MonotonicCondition() {
    if (pthread_mutex_init(&mutex, nullptr) != 0) return;
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0) {
      pthread_mutex_destroy(&mutex);
      return;
    }
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (pthread_cond_init(&condition, &attr) != 0) {
      pthread_condattr_destroy(&attr);
      pthread_mutex_destroy(&mutex);
      return;
    }
    pthread_condattr_destroy(&attr);
    initialised = true;
  }
  ~MonotonicCondition() {
    if (!initialised) return;
    pthread_cond_destroy(&condition);
    pthread_mutex_destroy(&mutex);
  }
  MonotonicCondition(const MonotonicCondition&) = delete;
  MonotonicCondition& operator=(const MonotonicCondition&) = delete;

  bool ok() const { return initialised; }

  // Called with the mutex held. False once the deadline has passed; callers
  // recheck their predicate either way (wake-ups may be spurious). A
  // cancellation point.
  bool WaitUntil(const Deadline& deadline) {
    if (deadline.infinite()) {
      pthread_cond_wait(&condition, &mutex);
      return true;
    }
    return pthread_cond_timedwait(&condition, &mutex, &deadline.at()) == 0;
  }
};

}  // namespace posix
}  // namespace platform
}  // namespace quenlix
