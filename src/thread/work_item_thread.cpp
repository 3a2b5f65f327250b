#include "thread/work_item_thread.h"

namespace quenlix {
namespace thread {

namespace {

struct ProcessCall {
  CWorkItemThread* thread;
  CWorkItemThread::IWorkItem* item;
};

void CallProcess(void* ctx) {
  auto* call = static_cast<ProcessCall*>(ctx);
  call->thread->Process(call->item);
}

}  // namespace

CWorkItemThread::CWorkItemThread() = default;

CWorkItemThread::~CWorkItemThread() {
  SetRunning(false);
  ClearQueue();
  if (workEvent != nullptr) platform::SetEvent(workEvent);
  Join();
  queueLock.Enter();
  if (workEvent != nullptr) {
    platform::CloseEvent(workEvent);
    workEvent = nullptr;
  }
  queueLock.Leave();
}

void CWorkItemThread::OnItemQueued(IWorkItem*, uint32_t) {}
void CWorkItemThread::OnItemDequeued(IWorkItem*) {}
void CWorkItemThread::OnQueueCleared() {}

bool CWorkItemThread::Start(const std::string& threadName) {
  if (threadHandle != nullptr) return false;
  if (workEvent == nullptr) {
    workEvent = platform::CreateEvent(false, false);
    if (workEvent == nullptr) return false;
  }
  SetRunning(true);
  if (CSimpleThread::Start(threadName)) return true;
  SetRunning(false);
  return false;
}

bool CWorkItemThread::Post(IWorkItem* item) {
  if (item == nullptr || workEvent == nullptr) return false;
  // Checked under the queue's lock: Stop clears the queue under it after
  // marking the thread stopped, so no item slips in behind the clearing.
  queueLock.Enter();
  if (!IsRunning()) {
    queueLock.Leave();
    return false;
  }
  queue.push_back(item);
  OnItemQueued(item, 0);
  platform::SetEvent(workEvent);
  queueLock.Leave();
  return true;
}

bool CWorkItemThread::Stop() {
  SetRunning(false);
  ClearQueue();
  if (workEvent != nullptr) platform::SetEvent(workEvent);
  Join();
  return true;
}

void CWorkItemThread::ClearQueue() {
  queueLock.Enter();
  for (IWorkItem* item : queue) delete item;
  queue.clear();
  OnQueueCleared();
  queueLock.Leave();
}

CWorkItemThread::IWorkItem* CWorkItemThread::PopItem() {
  queueLock.Enter();
  IWorkItem* item = nullptr;
  if (!queue.empty()) {
    item = queue.front();
    queue.pop_front();
    OnItemDequeued(item);
  }
  queueLock.Leave();
  return item;
}

void CWorkItemThread::Drain() {
  for (;;) {
    IWorkItem* item = PopItem();
    if (!IsRunning()) {
      delete item;
      return;
    }
    if (item == nullptr) return;
    ProcessCall call{this, item};
    // An exception escaping a work item must not end the thread.
    if (!platform::CallSwallowingExceptions(&CallProcess, &call)) OnException();
    delete item;
  }
}

void CWorkItemThread::Run() {
  while (IsRunning()) {
    if (platform::WaitForEvent(workEvent, kIdleWaitMs) == platform::WaitResult::kTimeout) continue;
    Drain();
  }
  ClearQueue();
}

}  // namespace thread
}  // namespace quenlix
