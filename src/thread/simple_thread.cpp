#include "thread/simple_thread.h"

#include "thread/thread_stacks.h"

namespace quenlix {
namespace thread {

CSimpleThread::~CSimpleThread() = default;

uint32_t CSimpleThread::Entry(void* self) {
  // The last resort: nothing thrown on a thread of the driver may end the
  // host's process.
  if (!platform::CallSwallowingExceptions([](void* t) { static_cast<CSimpleThread*>(t)->Run(); },
                                          self)) {
    platform::CallSwallowingExceptions(
        [](void* t) { static_cast<CSimpleThread*>(t)->OnException(); }, self);
  }
  return kExitCode;
}

bool CSimpleThread::Start(const std::string& threadName) {
  if (threadHandle != nullptr) return false;
  name = threadName;
  uint32_t id = 0;
  threadHandle = platform::StartThread(&CSimpleThread::Entry, this, &id, kHelperThreadStack);
  if (threadHandle == nullptr) {
    threadId = 0;
    return false;
  }
  threadId = id;
  return true;
}

bool CSimpleThread::Join() {
  if (threadHandle == nullptr) return true;
  if (!platform::IsCurrentThread(threadHandle)) {
    platform::WaitForThread(threadHandle, platform::kInfinite);
  }
  platform::CloseThread(threadHandle);
  threadHandle = nullptr;
  threadId = 0;
  return true;
}

}  // namespace thread
}  // namespace quenlix
