#include "thread/recursive_lock.h"

namespace quenlix {

namespace {

// Read once per process: spinning is pointless on one processor.
bool IsSingleProcessor() {
  static const bool single = platform::ProcessorCount() == 1;
  return single;
}

}  // namespace

CRecursiveLock::CRecursiveLock() : CRecursiveLock(platform::CreateEvent(false, false)) {}

CRecursiveLock::CRecursiveLock(platform::Event wakeEvent)
    : wakeEvent(wakeEvent), state(new LockState{0, 0, 0, 0}) {
  if (!IsSingleProcessor()) platform::InterlockedExchange(&state->spinCount, kSpinCount);
}

CRecursiveLock::~CRecursiveLock() {
  if (wakeEvent != nullptr) platform::CloseEvent(wakeEvent);
  delete state;
}

void CRecursiveLock::TakeOwnership(uint32_t tid) {
  platform::InterlockedWrite(&state->ownerThreadId, int32_t(tid));
  state->recursionCount = 1;
}

bool CRecursiveLock::TryEnter() {
  const uint32_t tid = platform::CurrentThreadId();
  int32_t attemptsLeft = platform::InterlockedRead(&state->spinCount);
  for (;;) {
    if (platform::InterlockedCompareExchange(&state->lockCount, 1, 0) == 0) {
      TakeOwnership(tid);
      return true;
    }
    if (uint32_t(platform::InterlockedRead(&state->ownerThreadId)) == tid) {
      platform::InterlockedIncrement(&state->lockCount);
      ++state->recursionCount;
      return true;
    }
    if (attemptsLeft == 0) return false;
    --attemptsLeft;
  }
}

void CRecursiveLock::Enter() {
  if (TryEnter()) return;
  if (wakeEvent == nullptr) {
    EnterWithoutEvent();
    return;
  }
  const uint32_t tid = platform::CurrentThreadId();
  if (platform::InterlockedIncrement(&state->lockCount) == 1) {
    TakeOwnership(tid);
    return;
  }
  if (uint32_t(platform::InterlockedRead(&state->ownerThreadId)) == tid) {
    ++state->recursionCount;
    return;
  }
  platform::WaitForEvent(wakeEvent, platform::kInfinite);
  TakeOwnership(tid);
}

// Never counted as a waiter, so Leave has nobody to wake.
void CRecursiveLock::EnterWithoutEvent() {
  while (!TryEnter()) platform::SleepMs(1);
}

void CRecursiveLock::Leave() {
  const int32_t remaining = --state->recursionCount;
  if (remaining > 0) {
    platform::InterlockedDecrement(&state->lockCount);
    return;
  }
  platform::InterlockedWrite(&state->ownerThreadId, 0);
  if (platform::InterlockedDecrement(&state->lockCount) > 0) platform::SetEvent(wakeEvent);
}

}  // namespace quenlix
