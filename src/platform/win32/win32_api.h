// The Windows headers for the win32 backend, in the order Winsock needs, with
// the macros removed that would rename the contract's own functions.
#pragma once

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#undef CreateEvent
#undef InterlockedCompareExchange
#undef InterlockedExchange
#undef InterlockedIncrement
#undef InterlockedDecrement

#include "platform/platform.h"

namespace quenlix {
namespace platform {

// A wait on any kernel handle, mapped to the contract's results (threads.cpp).
WaitResult WaitForHandle(HANDLE handle, uint32_t timeoutMs);

}  // namespace platform
}  // namespace quenlix
