// Threads on pthreads. A thread record is shared by the handle and the running
// thread and freed by whichever lets go last, so a detached thread may outlive
// its handle and a handle may outlive its thread.
#include <cxxabi.h>
#include <errno.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <new>

#include "platform/platform.h"
#include "platform/posix/posix_wait.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace quenlix {
namespace platform {

struct ThreadRecord {
  pthread_t handle{};
  ThreadProc proc = nullptr;
  void* arg = nullptr;
  posix::MonotonicCondition ended;  // waits for started and done
  uint32_t systemId = 0;            // under ended.mutex
  bool started = false;             // under ended.mutex
  // Also changed under ended.mutex, but atomic: ThreadSanitizer loses track
  // of the locks of a thread cancelled inside a blocking call (poll, recv),
  // and these are what the ending thread publishes.
  std::atomic<bool> done{false};
  std::atomic<bool> terminateRequested{false};
  std::atomic<uint32_t> exitCode{0};
  std::atomic<uint32_t> forcedExitCode{0};
  std::atomic<int> references{2};  // the handle and the thread itself
};

namespace {

void Release(ThreadRecord* record) {
  if (record->references.fetch_sub(1, std::memory_order_acq_rel) == 1) delete record;
}

// Marks the record ended however the trampoline is left: normal return,
// escaping exception or the unwinding of a cancellation.
class EndGuard {
 public:
  explicit EndGuard(ThreadRecord* record) : record_(record) {}
  EndGuard(const EndGuard&) = delete;
  EndGuard& operator=(const EndGuard&) = delete;
  ~EndGuard() {
    {
      posix::MutexLock lock(record_->ended.mutex);
      const bool forced = record_->terminateRequested.load(std::memory_order_acquire);
      record_->exitCode.store(
          forced ? record_->forcedExitCode.load(std::memory_order_relaxed) : result_,
          std::memory_order_relaxed);
      record_->done.store(true, std::memory_order_release);
      pthread_cond_broadcast(&record_->ended.condition);
    }
    Release(record_);
  }
  void Returned(uint32_t result) { result_ = result; }

 private:
  ThreadRecord* record_;
  uint32_t result_ = 0;
};

void* Trampoline(void* param) {
  auto* record = static_cast<ThreadRecord*>(param);
  pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
  pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr);
  {
    posix::MutexLock lock(record->ended.mutex);
    record->systemId = CurrentThreadId();
    record->started = true;
    pthread_cond_broadcast(&record->ended.condition);
  }
  // No handler here: an exception escaping the procedure ends the process,
  // as on Windows, and a cancellation unwinds through the guard untouched.
  EndGuard guard(record);
  guard.Returned(record->proc(record->arg));
  return nullptr;
}

// Niceness for each priority. Raising a thread above normal needs
// CAP_SYS_NICE (or an RLIMIT_NICE allowance); without it the call is refused
// and the thread runs at normal priority.
#if defined(__SANITIZE_ADDRESS__)
// A cancellation unwinds frames without telling ASan, so their red zones stay
// poisoned below the handler, and ASan's own work on the rethrow trips over
// them. The window is far deeper than the frames of any wait of this layer.
constexpr size_t kUnwoundWindow = 32 * 1024;
void ForgetUnwoundFrames() {
  char* frame = static_cast<char*>(__builtin_frame_address(0));
  __asan_unpoison_memory_region(frame - kUnwoundWindow, kUnwoundWindow);
}
#else
void ForgetUnwoundFrames() {}
#endif

// Sanitizers put red zones around locals and run their own code on the
// thread's stack.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kSanitizerStackFactor = 4;
#else
constexpr size_t kSanitizerStackFactor = 1;
#endif

// Creates the thread with the stack size asked for; the system's default for 0.
int CreateWithStack(pthread_t* handle, ThreadRecord* record, size_t stackBytes) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return -1;
  if (stackBytes != 0) {
    const size_t size = std::max(stackBytes * kSanitizerStackFactor, size_t(PTHREAD_STACK_MIN));
    if (pthread_attr_setstacksize(&attr, size) != 0) {
      pthread_attr_destroy(&attr);
      return -1;
    }
  }
  const int result = pthread_create(handle, &attr, Trampoline, record);
  pthread_attr_destroy(&attr);
  return result;
}

int NiceValue(ThreadPriority priority) {
  switch (priority) {
    case ThreadPriority::kAboveNormal:
      return -5;
    case ThreadPriority::kHighest:
      return -10;
    case ThreadPriority::kNormal:
    default:
      return 0;
  }
}

}  // namespace

uint32_t CurrentThreadId() {
  static thread_local uint32_t id = static_cast<uint32_t>(syscall(SYS_gettid));
  return id;
}

Thread StartThread(ThreadProc proc, void* arg, uint32_t* threadId, size_t stackBytes) {
  if (proc == nullptr) return nullptr;
  auto* record = new (std::nothrow) ThreadRecord;
  if (record == nullptr) return nullptr;
  if (!record->ended.ok()) {
    delete record;
    return nullptr;
  }
  record->proc = proc;
  record->arg = arg;
  if (CreateWithStack(&record->handle, record, stackBytes) != 0) {
    delete record;
    return nullptr;
  }
  // The system id is known only once the thread runs; callers expect it at
  // once. No cancellation here, or the new thread's record would be lost.
  int oldState = 0;
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &oldState);
  {
    posix::MutexLock lock(record->ended.mutex);
    while (!record->started) pthread_cond_wait(&record->ended.condition, &record->ended.mutex);
    if (threadId != nullptr) *threadId = record->systemId;
  }
  pthread_setcancelstate(oldState, nullptr);
  return record;
}

// Best effort, by design: where the process may not raise priorities the
// thread keeps normal priority and the call still reports success, because
// priority is a hint to the scheduler and nothing depends on it. False only
// for a missing handle or an ended thread.
bool SetThreadPriority(Thread thread, ThreadPriority priority) {
  if (thread == nullptr) return false;
  posix::MutexLock lock(thread->ended.mutex);
  if (thread->done) return false;
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(thread->systemId), NiceValue(priority)) != 0) {
    return errno == EPERM || errno == EACCES;
  }
  return true;
}

WaitResult WaitForThread(Thread thread, uint32_t timeoutMs) {
  if (thread == nullptr) return WaitResult::kFailed;
  posix::MutexLock lock(thread->ended.mutex);
  posix::Deadline deadline(timeoutMs);
  while (!thread->done) {
    if (!thread->ended.WaitUntil(deadline))
      return thread->done ? WaitResult::kSignalled : WaitResult::kTimeout;
  }
  return WaitResult::kSignalled;
}

bool GetThreadExitCode(Thread thread, uint32_t* exitCode) {
  if (thread == nullptr || exitCode == nullptr) return false;
  posix::MutexLock lock(thread->ended.mutex);
  if (!thread->done) return false;
  *exitCode = thread->exitCode.load(std::memory_order_relaxed);
  return true;
}

bool TerminateThread(Thread thread, uint32_t exitCode) {
  if (thread == nullptr) return false;
  {
    posix::MutexLock lock(thread->ended.mutex);
    if (thread->done) return true;
    if (!thread->terminateRequested.load(std::memory_order_relaxed)) {
      thread->forcedExitCode.store(exitCode, std::memory_order_relaxed);
      thread->terminateRequested.store(true, std::memory_order_release);
    }
    // Still under the lock: the thread cannot end and be reaped meanwhile,
    // because CloseThread needs this lock to decide whether to join.
    if (pthread_cancel(thread->handle) != 0) return false;
  }
  if (pthread_equal(thread->handle, pthread_self())) pthread_testcancel();
  return true;
}

void CloseThread(Thread thread) {
  if (thread == nullptr) return;
  bool join = false;
  {
    posix::MutexLock lock(thread->ended.mutex);
    join = thread->done && !pthread_equal(thread->handle, pthread_self());
  }
  if (join) {
    // It has left its procedure and only has to return; joining reaps it.
    int oldState = 0;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &oldState);
    pthread_join(thread->handle, nullptr);
    pthread_setcancelstate(oldState, nullptr);
  } else {
    pthread_detach(thread->handle);
  }
  Release(thread);
}

bool IsCurrentThread(Thread thread) {
  return thread != nullptr && pthread_equal(thread->handle, pthread_self());
}

void SleepMs(uint32_t ms) {
  posix::CancellationPoint point;
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += static_cast<time_t>(ms / 1000);
  until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  // clock_nanosleep is a cancellation point; restart after signals.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

// UBSan sees the handler of a cancellation bind a reference to no object
// (the unwind carries none); nothing reads it, so that check is off here.
__attribute__((no_sanitize("undefined"))) bool CallSwallowingExceptions(void (*fn)(void*),
                                                                        void* ctx) {
  if (fn == nullptr) return true;
  try {
    fn(ctx);
    return true;
  } catch (abi::__forced_unwind&) {
    ForgetUnwoundFrames();
    throw;  // a cancellation must unwind to the end, or the process aborts
  } catch (...) {
    return false;
  }
}

}  // namespace platform
}  // namespace quenlix
