// A thread that runs one virtual operation.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace quenlix {
namespace thread {

class CSimpleThread {
 public:
  // Exit code of every thread started here.
  static constexpr uint32_t kExitCode = 123;

  virtual void Run() = 0;
  // Does not stop or join the thread: the owner does that first.
  virtual ~CSimpleThread();

  // False if a thread already exists or it cannot be started.
  bool Start(const std::string& name);
  // Waits for the thread without limit (unless called from the thread itself)
  // and releases its handle. Always true.
  bool Join();

  bool HasThread() const { return threadHandle != nullptr; }

  // Called on the thread when an exception escaped a step of its work; the
  // exception is gone by then, and the process lives on.
  virtual void OnException() {}
  const std::string& Name() const { return name; }
  uint32_t ThreadId() const { return threadId; }

 protected:
  std::string name;
  platform::Thread threadHandle = nullptr;
  uint32_t threadId = 0;

 private:
  static uint32_t Entry(void* self);
};

}  // namespace thread
}  // namespace quenlix
