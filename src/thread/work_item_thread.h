// A thread that executes queued work items one after another, in the order
// they were posted.
#pragma once

#include <list>

#include "thread/simple_thread.h"

namespace quenlix {
namespace thread {

class CWorkItemThread : public CSimpleThread {
 public:
  // One job's data; Process knows how to execute it.
  class IWorkItem {
   public:
    virtual ~IWorkItem() = default;
  };

  // How often the worker re-checks `running` while idle.
  static constexpr uint32_t kIdleWaitMs = 1000;

  CWorkItemThread();
  void Run() override;
  // Stops and joins the thread; queued items are destroyed unexecuted. A
  // derived class must call Stop in its own destructor: by the time this one
  // runs, the worker would be calling the base's Process and hooks.
  ~CWorkItemThread() override;
  virtual void Process(IWorkItem* item) = 0;
  virtual void OnItemQueued(IWorkItem* item, uint32_t flag);
  virtual void OnItemDequeued(IWorkItem* item);
  virtual void OnQueueCleared();

  bool Start(const std::string& name);
  // False, leaving the item with the caller, when not running.
  bool Post(IWorkItem* item);
  bool Stop();
  void ClearQueue();
  IWorkItem* PopItem();

  bool IsRunning() const { return platform::InterlockedRead(&running) != 0; }

 protected:
  platform::CriticalSection queueLock;
  std::list<IWorkItem*> queue;
  platform::Event workEvent = nullptr;

 private:
  void SetRunning(bool value) { platform::InterlockedWrite(&running, value ? 1 : 0); }
  void Drain();

  // Written by the controlling thread, read by the worker.
  volatile int32_t running = 0;
};

}  // namespace thread
}  // namespace quenlix
