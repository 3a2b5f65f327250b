// The field checks of SystemTimeToFileTime, shared by both backends so that
// the answer does not depend on the system's own checks (some emulations of
// the call accept a 29 February in any year).
#pragma once

#include "quenlix/abi.h"

namespace quenlix {
namespace platform {

constexpr uint16_t kMinSystemTimeYear = 1601;
constexpr uint16_t kMaxSystemTimeYear = 30827;

inline bool IsLeapYear(unsigned year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Month 1 to 12.
inline unsigned DaysInMonth(unsigned year, unsigned month) {
  static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// The day of the week is not looked at, as the system call does not.
inline bool IsValidSystemTime(const SYSTEMTIME& time) {
  if (time.wYear < kMinSystemTimeYear || time.wYear > kMaxSystemTimeYear) return false;
  if (time.wMonth < 1 || time.wMonth > 12) return false;
  if (time.wDay < 1 || time.wDay > DaysInMonth(time.wYear, time.wMonth)) return false;
  return time.wHour < 24 && time.wMinute < 60 && time.wSecond < 60 && time.wMilliseconds < 1000;
}

}  // namespace platform
}  // namespace quenlix
