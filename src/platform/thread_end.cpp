#include "platform/thread_end.h"

namespace quenlix {
namespace platform {

bool JoinOrTerminate(Thread thread, uint32_t waitMs, uint32_t forcedEndWaitMs) {
  WaitResult wait = WaitForThread(thread, waitMs);
  if (wait == WaitResult::kTimeout) {
    TerminateThread(thread, 0);
    wait = WaitForThread(thread, forcedEndWaitMs);
  }
  CloseThread(thread);
  return wait == WaitResult::kSignalled;
}

}  // namespace platform
}  // namespace quenlix
