// A recursive lock built from interlocked operations, thread ids and one
// event: uncontended it costs one compare-and-exchange and no system call;
// contended it spins a while before it sleeps.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace quenlix {

class CRecursiveLock {
 public:
  // Extra attempts before sleeping, on machines with more than one processor.
  static constexpr int32_t kSpinCount = 4000;

  struct LockState {
    volatile int32_t spinCount;
    // Holds by the owner plus waiting threads; 0 when free.
    volatile int32_t lockCount;
    volatile int32_t ownerThreadId;
    // Touched by the owner only; the lockCount exchange orders it between
    // owners.
    int32_t recursionCount;
  };

  CRecursiveLock();
  // Adopts wakeEvent. Null stands for an event that could not be made: then
  // contenders retry instead of sleeping, since nobody could wake them.
  explicit CRecursiveLock(platform::Event wakeEvent);
  ~CRecursiveLock();
  CRecursiveLock(const CRecursiveLock&) = delete;
  CRecursiveLock& operator=(const CRecursiveLock&) = delete;

  bool TryEnter();
  void Enter();
  // By the owner only; not checked.
  void Leave();

  // For tests and diagnostics.
  int32_t LockCount() const { return platform::InterlockedRead(&state->lockCount); }
  uint32_t OwnerThreadId() const {
    return uint32_t(platform::InterlockedRead(&state->ownerThreadId));
  }
  int32_t SpinCount() const { return platform::InterlockedRead(&state->spinCount); }

 private:
  void TakeOwnership(uint32_t tid);
  void EnterWithoutEvent();

  platform::Event wakeEvent;
  LockState* state;
};

class CLockGuard {
 public:
  explicit CLockGuard(CRecursiveLock* lock) : lock_(lock) { lock_->Enter(); }
  ~CLockGuard() { lock_->Leave(); }
  CLockGuard(const CLockGuard&) = delete;
  CLockGuard& operator=(const CLockGuard&) = delete;

 private:
  CRecursiveLock* lock_;
};

}  // namespace quenlix
