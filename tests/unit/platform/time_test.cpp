#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "platform/platform.h"

namespace quenlix {
namespace platform {
namespace {

SYSTEMTIME Make(uint16_t year, uint16_t month, uint16_t day, uint16_t hour = 0, uint16_t minute = 0,
                uint16_t second = 0, uint16_t ms = 0) {
  SYSTEMTIME time{};
  time.wYear = year;
  time.wMonth = month;
  time.wDay = day;
  time.wHour = hour;
  time.wMinute = minute;
  time.wSecond = second;
  time.wMilliseconds = ms;
  return time;
}

struct KnownTime {
  const char* name;
  SYSTEMTIME time;
  uint64_t fileTime;
  uint16_t dayOfWeek;  // 0 Sunday
};

class KnownTimes : public ::testing::TestWithParam<KnownTime> {};

TEST_P(KnownTimes, ConvertBothWays) {
  const KnownTime& known = GetParam();
  uint64_t fileTime = 0;
  ASSERT_TRUE(SystemTimeToFileTime(known.time, &fileTime));
  EXPECT_EQ(fileTime, known.fileTime);
  SYSTEMTIME back{};
  ASSERT_TRUE(FileTimeToSystemTime(known.fileTime, &back));
  EXPECT_EQ(back.wYear, known.time.wYear);
  EXPECT_EQ(back.wMonth, known.time.wMonth);
  EXPECT_EQ(back.wDay, known.time.wDay);
  EXPECT_EQ(back.wHour, known.time.wHour);
  EXPECT_EQ(back.wMinute, known.time.wMinute);
  EXPECT_EQ(back.wSecond, known.time.wSecond);
  EXPECT_EQ(back.wMilliseconds, known.time.wMilliseconds);
  EXPECT_EQ(back.wDayOfWeek, known.dayOfWeek);
}

INSTANTIATE_TEST_SUITE_P(
    Time, KnownTimes,
    ::testing::Values(
        KnownTime{"Start1601", Make(1601, 1, 1), 0, 1},
        KnownTime{"UnixEpoch", Make(1970, 1, 1), 116444736000000000ull, 4},
        KnownTime{"LeapDay2000", Make(2000, 2, 29, 12, 34, 56, 789), 125963012967890000ull, 2},
        KnownTime{"LeapDay2024LastMs", Make(2024, 2, 29, 23, 59, 59, 999), 133537247999990000ull,
                  4},
        KnownTime{"After1900NoLeapDay", Make(1900, 3, 1), 94405824000000000ull, 4},
        KnownTime{"Year9999", Make(9999, 12, 31, 23, 59, 59, 999), 2650467743999990000ull, 5}),
    [](const ::testing::TestParamInfo<KnownTime>& info) { return info.param.name; });

struct InvalidTime {
  const char* name;
  SYSTEMTIME time;
};

class InvalidTimes : public ::testing::TestWithParam<InvalidTime> {};

TEST_P(InvalidTimes, AreRefused) {
  uint64_t fileTime = 12345;
  EXPECT_FALSE(SystemTimeToFileTime(GetParam().time, &fileTime));
}

INSTANTIATE_TEST_SUITE_P(Time, InvalidTimes,
                         ::testing::Values(InvalidTime{"Year1600", Make(1600, 12, 31)},
                                           InvalidTime{"Month0", Make(2020, 0, 1)},
                                           InvalidTime{"Month13", Make(2020, 13, 1)},
                                           InvalidTime{"Day0", Make(2020, 5, 0)},
                                           InvalidTime{"April31", Make(2021, 4, 31)},
                                           InvalidTime{"Feb29In1900", Make(1900, 2, 29)},
                                           InvalidTime{"Feb29In2023", Make(2023, 2, 29)},
                                           InvalidTime{"Feb30In2000", Make(2000, 2, 30)},
                                           InvalidTime{"Hour24", Make(2020, 1, 1, 24)},
                                           InvalidTime{"Minute60", Make(2020, 1, 1, 0, 60)},
                                           InvalidTime{"Second60", Make(2020, 1, 1, 0, 0, 60)},
                                           InvalidTime{"Ms1000", Make(2020, 1, 1, 0, 0, 0, 1000)}),
                         [](const ::testing::TestParamInfo<InvalidTime>& info) {
                           return info.param.name;
                         });

TEST(Time, DayOfWeekIsIgnoredOnInput) {
  SYSTEMTIME time = Make(1970, 1, 1);
  time.wDayOfWeek = 6;  // wrong on purpose
  uint64_t fileTime = 0;
  EXPECT_TRUE(SystemTimeToFileTime(time, &fileTime));
  EXPECT_EQ(fileTime, 116444736000000000ull);
}

TEST(Time, FileTimesRoundTripAtMillisecondResolution) {
  // Steps of a prime number of milliseconds reach every field and both
  // sides of many month and year ends, into the 2100s.
  constexpr uint64_t kStep = 7919ull * 3600 * 1000 * 10000 + 12345670;
  for (uint64_t fileTime = 0; fileTime < 160000000000000000ull; fileTime += kStep) {
    SYSTEMTIME time{};
    ASSERT_TRUE(FileTimeToSystemTime(fileTime, &time));
    uint64_t back = 0;
    ASSERT_TRUE(SystemTimeToFileTime(time, &back)) << fileTime;
    ASSERT_EQ(back, fileTime - fileTime % 10000) << fileTime;
  }
}

TEST(Time, FileTimeWithTopBitIsRefused) {
  SYSTEMTIME time{};
  EXPECT_FALSE(FileTimeToSystemTime(0x8000000000000000ull, &time));
  EXPECT_TRUE(FileTimeToSystemTime(0x7FFFFFFFFFFFFFFFull, &time));
}

TEST(Time, SystemTimeIsTheCurrentUtcTime) {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  uint64_t fileTime = 0;
  ASSERT_TRUE(SystemTimeToFileTime(now, &fileTime));
  const int64_t unixMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  const int64_t ourUnixMs = static_cast<int64_t>((fileTime - 116444736000000000ull) / 10000);
  EXPECT_LT(std::llabs(unixMs - ourUnixMs), 2000);
}

TEST(Time, MonotonicClockAdvancesWithSleep) {
  const uint64_t before = MonotonicMs();
  SleepMs(60);
  const uint64_t after = MonotonicMs();
  // The Windows tick advances in steps of up to 16 ms; the bounds still tell
  // milliseconds from microseconds or seconds.
  EXPECT_GE(after - before, 40u);
  EXPECT_LT(after - before, 5000u);
}

}  // namespace
}  // namespace platform
}  // namespace quenlix
