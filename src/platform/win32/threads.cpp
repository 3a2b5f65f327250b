// Threads through the C runtime's thread start, so that the runtime's
// per-thread state is set up and released with the thread.
#include <process.h>

#include <new>

#include "platform/win32/win32_api.h"

namespace quenlix {
namespace platform {

struct ThreadRecord {
  HANDLE handle = nullptr;
  DWORD id = 0;
};

namespace {

struct StartRecord {
  ThreadProc proc;
  void* arg;
};

unsigned __stdcall Trampoline(void* param) {
  StartRecord start = *static_cast<StartRecord*>(param);
  delete static_cast<StartRecord*>(param);
  return start.proc(start.arg);
}

WaitResult ToWaitResult(DWORD result) {
  switch (result) {
    case WAIT_OBJECT_0:
      return WaitResult::kSignalled;
    case WAIT_ABANDONED:
      return WaitResult::kAbandoned;
    case WAIT_TIMEOUT:
      return WaitResult::kTimeout;
    default:
      return WaitResult::kFailed;
  }
}

int ToWindowsPriority(ThreadPriority priority) {
  switch (priority) {
    case ThreadPriority::kAboveNormal:
      return THREAD_PRIORITY_ABOVE_NORMAL;
    case ThreadPriority::kHighest:
      return THREAD_PRIORITY_HIGHEST;
    case ThreadPriority::kNormal:
    default:
      return THREAD_PRIORITY_NORMAL;
  }
}

}  // namespace

WaitResult WaitForHandle(HANDLE handle, uint32_t timeoutMs) {
  return ToWaitResult(::WaitForSingleObject(handle, timeoutMs));
}

Thread StartThread(ThreadProc proc, void* arg, uint32_t* threadId, size_t stackBytes) {
  if (proc == nullptr) return nullptr;
  auto* record = new (std::nothrow) ThreadRecord;
  auto* start = new (std::nothrow) StartRecord{proc, arg};
  if (record == nullptr || start == nullptr) {
    delete record;
    delete start;
    return nullptr;
  }
  unsigned id = 0;
  // The size is the address space to reserve, not the memory to commit at
  // once; the commit stays the executable's default.
  const unsigned flags = stackBytes != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0;
  uintptr_t handle = _beginthreadex(nullptr, unsigned(stackBytes), Trampoline, start, flags, &id);
  if (handle == 0) {
    delete start;
    delete record;
    return nullptr;
  }
  record->handle = reinterpret_cast<HANDLE>(handle);
  record->id = id;
  if (threadId != nullptr) *threadId = id;
  return record;
}

bool SetThreadPriority(Thread thread, ThreadPriority priority) {
  return thread != nullptr && ::SetThreadPriority(thread->handle, ToWindowsPriority(priority)) != 0;
}

WaitResult WaitForThread(Thread thread, uint32_t timeoutMs) {
  if (thread == nullptr) return WaitResult::kFailed;
  return WaitForHandle(thread->handle, timeoutMs);
}

bool GetThreadExitCode(Thread thread, uint32_t* exitCode) {
  if (thread == nullptr || exitCode == nullptr) return false;
  // STILL_ACTIVE is also a valid exit code, so ask whether it ended first.
  if (::WaitForSingleObject(thread->handle, 0) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  if (!::GetExitCodeThread(thread->handle, &code)) return false;
  *exitCode = code;
  return true;
}

bool TerminateThread(Thread thread, uint32_t exitCode) {
  if (thread == nullptr) return false;
  if (::WaitForSingleObject(thread->handle, 0) == WAIT_OBJECT_0) return true;  // its code is kept
  return ::TerminateThread(thread->handle, exitCode) != 0;
}

void CloseThread(Thread thread) {
  if (thread == nullptr) return;
  ::CloseHandle(thread->handle);
  delete thread;
}

uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

bool IsCurrentThread(Thread thread) {
  return thread != nullptr && thread->id == ::GetCurrentThreadId();
}

void SleepMs(uint32_t ms) { ::Sleep(ms); }

bool CallSwallowingExceptions(void (*fn)(void*), void* ctx) {
  if (fn == nullptr) return true;
  try {
    fn(ctx);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace platform
}  // namespace quenlix
