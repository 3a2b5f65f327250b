// System time, SYSTEMTIME and file-time conversion, and a monotonic clock.
#include <time.h>

#include "platform/platform.h"
#include "platform/system_time_check.h"

namespace quenlix {
namespace platform {

namespace {

constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
constexpr uint64_t kMsPerDay = 86400000ull;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kDaysFrom1601To1970 = 134774;
// FileTimeToSystemTime refuses file times with the top bit set.
constexpr uint64_t kMaxFileTime = 0x7FFFFFFFFFFFFFFFull;
// 1601-01-01 was a Monday (day 1, counting from Sunday = 0).
constexpr int64_t kDayOfWeekOf1601 = 1;

// Days since 1970-01-01 of a proleptic Gregorian date (civil-from-days in
// reverse, by 400-year eras, exact for every year handled here).
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  *day = static_cast<unsigned>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  *month = static_cast<unsigned>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  *year = yearOfEra + era * 400 + (*month <= 2 ? 1 : 0);
}

}  // namespace

void GetSystemTime(SYSTEMTIME* time) {
  if (time == nullptr) return;
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const uint64_t fileTime = kUnixEpochAsFileTime + static_cast<uint64_t>(now.tv_sec) * 10000000ull +
                            static_cast<uint64_t>(now.tv_nsec) / 1000000ull * kFileTimeUnitsPerMs;
  FileTimeToSystemTime(fileTime, time);
}

bool SystemTimeToFileTime(const SYSTEMTIME& time, uint64_t* fileTime) {
  if (fileTime == nullptr || !IsValidSystemTime(time)) return false;
  const int64_t days = DaysFromCivil(time.wYear, time.wMonth, time.wDay) + kDaysFrom1601To1970;
  const uint64_t ms = static_cast<uint64_t>(days) * kMsPerDay + time.wHour * 3600000ull +
                      time.wMinute * 60000ull + time.wSecond * 1000ull + time.wMilliseconds;
  *fileTime = ms * kFileTimeUnitsPerMs;
  return true;
}

// Sub-millisecond units are dropped, as the system call does.
bool FileTimeToSystemTime(uint64_t fileTime, SYSTEMTIME* time) {
  if (time == nullptr || fileTime > kMaxFileTime) return false;
  const uint64_t ms = fileTime / kFileTimeUnitsPerMs;
  const int64_t days = static_cast<int64_t>(ms / kMsPerDay);
  uint64_t msOfDay = ms % kMsPerDay;
  int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  CivilFromDays(days - kDaysFrom1601To1970, &year, &month, &day);
  time->wYear = static_cast<uint16_t>(year);
  time->wMonth = static_cast<uint16_t>(month);
  time->wDay = static_cast<uint16_t>(day);
  time->wDayOfWeek = static_cast<uint16_t>((days + kDayOfWeekOf1601) % 7);
  time->wHour = static_cast<uint16_t>(msOfDay / 3600000);
  msOfDay %= 3600000;
  time->wMinute = static_cast<uint16_t>(msOfDay / 60000);
  msOfDay %= 60000;
  time->wSecond = static_cast<uint16_t>(msOfDay / 1000);
  time->wMilliseconds = static_cast<uint16_t>(msOfDay % 1000);
  return true;
}

uint64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000ull +
         static_cast<uint64_t>(now.tv_nsec) / 1000000ull;
}

}  // namespace platform
}  // namespace quenlix
