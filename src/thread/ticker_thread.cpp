#include "thread/ticker_thread.h"

namespace quenlix {
namespace thread {

CTickerThread::~CTickerThread() {
  if (stopEvent != nullptr) platform::CloseEvent(stopEvent);
}

bool CTickerThread::Start(const std::string& threadName) {
  if (threadHandle != nullptr) return false;
  if (stopEvent == nullptr) {
    stopEvent = platform::CreateEvent(false, false);
    if (stopEvent == nullptr) return false;
  }
  platform::ResetEvent(stopEvent);
  return CSimpleThread::Start(threadName);
}

bool CTickerThread::Stop() {
  if (threadHandle == nullptr) return true;
  if (stopEvent == nullptr) return false;
  platform::SetEvent(stopEvent);
  Join();
  return true;
}

void CTickerThread::Run() {
  // A step that throws (an allocation that fails) costs that step, not the
  // thread: the next period tries again.
  if (!platform::CallSwallowingExceptions(
          [](void* t) { static_cast<CTickerThread*>(t)->OnStarted(); }, this)) {
    OnException();
  }
  for (;;) {
    // A failed wait ticks as a time-out would: the period is the only promise,
    // so it is kept by sleeping rather than turning into a busy loop.
    const platform::WaitResult wait = platform::WaitForEvent(stopEvent, periodMs);
    if (wait == platform::WaitResult::kSignalled || wait == platform::WaitResult::kAbandoned)
      return;
    if (wait == platform::WaitResult::kFailed) platform::SleepMs(periodMs);
    if (!platform::CallSwallowingExceptions([](void* t) { static_cast<CTickerThread*>(t)->Tick(); },
                                            this)) {
      OnException();
    }
  }
}

}  // namespace thread
}  // namespace quenlix
