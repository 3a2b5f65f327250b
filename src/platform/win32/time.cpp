// System time and its conversions through the kernel. quenlix::SYSTEMTIME
// mirrors the Windows record but is its own type, so fields are copied.
#include "platform/system_time_check.h"
#include "platform/win32/win32_api.h"

namespace quenlix {
namespace platform {

namespace {

::SYSTEMTIME ToWindows(const SYSTEMTIME& time) {
  ::SYSTEMTIME out{};
  out.wYear = time.wYear;
  out.wMonth = time.wMonth;
  out.wDayOfWeek = time.wDayOfWeek;
  out.wDay = time.wDay;
  out.wHour = time.wHour;
  out.wMinute = time.wMinute;
  out.wSecond = time.wSecond;
  out.wMilliseconds = time.wMilliseconds;
  return out;
}

void FromWindows(const ::SYSTEMTIME& time, SYSTEMTIME* out) {
  out->wYear = time.wYear;
  out->wMonth = time.wMonth;
  out->wDayOfWeek = time.wDayOfWeek;
  out->wDay = time.wDay;
  out->wHour = time.wHour;
  out->wMinute = time.wMinute;
  out->wSecond = time.wSecond;
  out->wMilliseconds = time.wMilliseconds;
}

}  // namespace

void GetSystemTime(SYSTEMTIME* time) {
  if (time == nullptr) return;
  ::SYSTEMTIME now{};
  ::GetSystemTime(&now);
  FromWindows(now, time);
}

bool SystemTimeToFileTime(const SYSTEMTIME& time, uint64_t* fileTime) {
  if (fileTime == nullptr || !IsValidSystemTime(time)) return false;
  const ::SYSTEMTIME in = ToWindows(time);
  FILETIME out{};
  if (!::SystemTimeToFileTime(&in, &out)) return false;
  *fileTime = static_cast<uint64_t>(out.dwHighDateTime) << 32 | out.dwLowDateTime;
  return true;
}

bool FileTimeToSystemTime(uint64_t fileTime, SYSTEMTIME* time) {
  if (time == nullptr) return false;
  FILETIME in{};
  in.dwLowDateTime = static_cast<DWORD>(fileTime);
  in.dwHighDateTime = static_cast<DWORD>(fileTime >> 32);
  ::SYSTEMTIME out{};
  if (!::FileTimeToSystemTime(&in, &out)) return false;
  FromWindows(out, time);
  return true;
}

uint64_t MonotonicMs() { return ::GetTickCount64(); }

}  // namespace platform
}  // namespace quenlix
