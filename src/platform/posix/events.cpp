// Windows-style events on a mutex and a monotonic condition variable.
#include <pthread.h>

#include <new>

#include "platform/platform.h"
#include "platform/posix/posix_wait.h"

namespace quenlix {
namespace platform {

struct EventRecord {
  posix::MonotonicCondition state;  // guards signalled
  bool manualReset = false;
  bool signalled = false;
};

Event CreateEvent(bool manualReset, bool initiallySignalled) {
  auto* event = new (std::nothrow) EventRecord;
  if (event == nullptr) return nullptr;
  if (!event->state.ok()) {
    delete event;
    return nullptr;
  }
  event->manualReset = manualReset;
  event->signalled = initiallySignalled;
  return event;
}

bool SetEvent(Event event) {
  if (event == nullptr) return false;
  posix::MutexLock lock(event->state.mutex);
  event->signalled = true;
  // An auto-reset event releases one waiter; a manual one releases them all.
  if (event->manualReset) {
    pthread_cond_broadcast(&event->state.condition);
  } else {
    pthread_cond_signal(&event->state.condition);
  }
  return true;
}

bool ResetEvent(Event event) {
  if (event == nullptr) return false;
  posix::MutexLock lock(event->state.mutex);
  event->signalled = false;
  return true;
}

void CloseEvent(Event event) { delete event; }

WaitResult WaitForEvent(Event event, uint32_t timeoutMs) {
  if (event == nullptr) return WaitResult::kFailed;
  posix::MutexLock lock(event->state.mutex);
  posix::Deadline deadline(timeoutMs);
  while (!event->signalled) {
    if (!event->state.WaitUntil(deadline) && !event->signalled) return WaitResult::kTimeout;
  }
  if (!event->manualReset) event->signalled = false;
  return WaitResult::kSignalled;
}

}  // namespace platform
}  // namespace quenlix
