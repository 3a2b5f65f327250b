// Events are kernel event objects; the record pointer is the handle itself.
#include "platform/win32/win32_api.h"

namespace quenlix {
namespace platform {

namespace {
HANDLE ToHandle(Event event) { return reinterpret_cast<HANDLE>(event); }
}  // namespace

Event CreateEvent(bool manualReset, bool initiallySignalled) {
  HANDLE handle = ::CreateEventA(nullptr, manualReset ? TRUE : FALSE,
                                 initiallySignalled ? TRUE : FALSE, nullptr);
  return reinterpret_cast<Event>(handle);
}

bool SetEvent(Event event) { return event != nullptr && ::SetEvent(ToHandle(event)) != 0; }
bool ResetEvent(Event event) { return event != nullptr && ::ResetEvent(ToHandle(event)) != 0; }

void CloseEvent(Event event) {
  if (event != nullptr) ::CloseHandle(ToHandle(event));
}

WaitResult WaitForEvent(Event event, uint32_t timeoutMs) {
  if (event == nullptr) return WaitResult::kFailed;
  return WaitForHandle(ToHandle(event), timeoutMs);
}

}  // namespace platform
}  // namespace quenlix
