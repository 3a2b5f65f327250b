#include <gtest/gtest.h>

#include <cstdio>

#include "platform/platform.h"

namespace quenlix {
namespace platform {
namespace {

// "YYYY-MM-DD hh:mm:ss.mmm" as a SYSTEMTIME, so that tables read as dates.
SYSTEMTIME Parse(const char* text) {
  SYSTEMTIME t{};
  sscanf(text, "%hu-%hu-%hu %hu:%hu:%hu.%hu", &t.wYear, &t.wMonth, &t.wDay, &t.wHour, &t.wMinute,
         &t.wSecond, &t.wMilliseconds);
  return t;
}

TEST(Time, KnownDatesConvertBothWays) {
  const struct {
    const char* time;
    uint64_t fileTime;
    uint16_t dayOfWeek;  // 0 Sunday
  } cases[] = {
      {"1601-01-01 00:00:00.000", 0, 1},
      {"1970-01-01 00:00:00.000", 116444736000000000ull, 4},
      {"2000-02-29 12:34:56.789", 125963012967890000ull, 2},
      {"2024-02-29 23:59:59.999", 133537247999990000ull, 4},
      {"1900-03-01 00:00:00.000", 94405824000000000ull, 4},
      {"9999-12-31 23:59:59.999", 2650467743999990000ull, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.time);
    SYSTEMTIME in = Parse(c.time);
    in.wDayOfWeek = uint16_t((c.dayOfWeek + 3) % 7);  // wrong on purpose: ignored on input
    uint64_t fileTime = 0;
    ASSERT_TRUE(SystemTimeToFileTime(in, &fileTime));
    EXPECT_EQ(fileTime, c.fileTime);
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(c.fileTime, &back));
    char text[64];
    snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", back.wYear, back.wMonth,
             back.wDay, back.wHour, back.wMinute, back.wSecond, back.wMilliseconds);
    EXPECT_STREQ(text, c.time);
    EXPECT_EQ(back.wDayOfWeek, c.dayOfWeek);
  }
}

TEST(Time, InvalidDatesAreRefusedAndFileTimesRoundTripAtMillisecondResolution) {
  for (const char* time :
       {"1600-12-31 00:00:00.000", "2020-00-01 00:00:00.000", "2020-13-01 00:00:00.000",
        "2020-05-00 00:00:00.000", "2021-04-31 00:00:00.000", "1900-02-29 00:00:00.000",
        "2023-02-29 00:00:00.000", "2000-02-30 00:00:00.000", "2020-01-01 24:00:00.000",
        "2020-01-01 00:60:00.000", "2020-01-01 00:00:60.000", "2020-01-01 00:00:00.1000"}) {
    uint64_t fileTime = 0;
    EXPECT_FALSE(SystemTimeToFileTime(Parse(time), &fileTime)) << time;
  }
  SYSTEMTIME time{};
  EXPECT_FALSE(FileTimeToSystemTime(0x8000000000000000ull, &time));
  EXPECT_TRUE(FileTimeToSystemTime(0x7FFFFFFFFFFFFFFFull, &time));
  // Steps of a prime number of milliseconds reach every field and both
  // sides of many month and year ends, into the 2100s.
  constexpr uint64_t kStep = 7919ull * 3600 * 1000 * 10000 + 12345670;
  for (uint64_t fileTime = 0; fileTime < 160000000000000000ull; fileTime += kStep) {
    ASSERT_TRUE(FileTimeToSystemTime(fileTime, &time));
    uint64_t back = 0;
    ASSERT_TRUE(SystemTimeToFileTime(time, &back)) << fileTime;
    ASSERT_EQ(back, fileTime - fileTime % 10000) << fileTime;
  }
}

}  // namespace
}  // namespace platform
}  // namespace quenlix
