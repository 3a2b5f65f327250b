// Ending a worker that may not end by itself: the one sequence every owner of
// a thread uses, so that a stop is bounded however the thread behaves.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace quenlix {
namespace platform {

// Waits up to waitMs for the thread to end; one still running then is ended
// by force (see TerminateThread) and given forcedEndWaitMs to unwind. Closes
// the handle either way. True when the thread is known to have ended.
bool JoinOrTerminate(Thread thread, uint32_t waitMs, uint32_t forcedEndWaitMs);

}  // namespace platform
}  // namespace quenlix
