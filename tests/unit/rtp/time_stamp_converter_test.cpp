#include "rtp/time_stamp_converter.h"

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace quenlix {
namespace {

constexpr uint64_t kMs = 10000;
// 2024-01-01 as a file time; any plausible date serves.
constexpr uint64_t kStart = 133485408000000000ull;

class ClockedConverter : public CTimeStampConverter {
 public:
  uint64_t now = kStart;

 protected:
  uint64_t Now() const override { return now; }
};

TEST(StatisticsHelper, KeepsARunningMeanOverItsWindow) {
  TStatisticsHelper<unsigned int> stats(3);
  EXPECT_EQ(stats.Mean(), 0.0);
  stats.Add(1);
  stats.Add(2);
  stats.Add(3);
  EXPECT_EQ(stats.Mean(), 2.0);
  stats.Add(10);  // 1 leaves
  EXPECT_EQ(stats.Count(), 3u);
  EXPECT_EQ(stats.Mean(), 5.0);
  stats.Clear();
  EXPECT_EQ(stats.Count(), 0u);
  EXPECT_EQ(stats.Mean(), 0.0);
  stats.Add(4);
  EXPECT_EQ(stats.Mean(), 4.0);  // nothing of the old sum is left

  TStatisticsHelper<unsigned int> big(1000);
  for (unsigned int i = 0; i < 1001; ++i) big.Add(i);
  EXPECT_EQ(big.Count(), 1000u);
  EXPECT_DOUBLE_EQ(big.Mean(), 500.5);  // 0 has left
}

TEST(TimeStampConverter, FirstUpdateGivesTheSystemTimeOfThatUpdate) {
  ClockedConverter c;
  c.Update(1000);
  EXPECT_EQ(c.CurrentFileTime(), kStart);
  SYSTEMTIME st{};
  c.GetTime(&st);
  uint64_t back = 0;
  ASSERT_TRUE(platform::SystemTimeToFileTime(st, &back));
  EXPECT_EQ(back, kStart);
}

TEST(TimeStampConverter, LearningStepsAreNinetyKilohertzAndNeverBehindNow) {
  ClockedConverter c;
  c.Update(3600);
  c.now += 400 * kMs;
  c.Update(7200);  // 39.96 ms of RTP time against 400 ms of wall time
  EXPECT_EQ(c.CurrentFileTime(), c.now);
  c.Update(10800);  // no wall time passed: the RTP step is taken
  EXPECT_EQ(c.CurrentFileTime(), c.now + 399600);
}

TEST(TimeStampConverter, EqualAndWrappedStampsStepOneMillisecond) {
  struct Case {
    const char* name;
    uint32_t first, second;
  };
  const Case cases[] = {{"equal", 5000, 5000}, {"wrap", 4294967000u, 200}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ClockedConverter c;
    c.Update(k.first);
    c.Update(k.second);
    EXPECT_EQ(c.CurrentFileTime(), kStart + kMs);
    // Measured from the new stamp on.
    c.Update(k.second + 3600);
    EXPECT_EQ(c.CurrentFileTime(), kStart + kMs + 399600);
  }
}

// 111 units a tick: a second is 90,091 ticks.
TEST(TimeStampConverter, LearningJumpOfASecondOrMoreResetsToNow) {
  for (uint32_t jump : {90090u, 90091u}) {
    SCOPED_TRACE(jump);
    ClockedConverter c;
    c.Update(1);
    c.now += 5 * kMs;
    c.Update(1 + jump);
    EXPECT_EQ(c.CurrentFileTime(), jump < 90091 ? kStart + uint64_t(jump) * 111 : c.now);
  }
}

// Frames every 40 ms of wall time and 3600 ticks: after learning, the rate
// comes from the measurements, and a camera clock 1 % fast never puts the
// times ahead by more than it can work off.
TEST(TimeStampConverter, EstimatingFollowsTheMeasuredRate) {
  ClockedConverter c;
  uint32_t rtp = 1000;
  for (int i = 0; i < 400; ++i) {
    c.Update(rtp);
    EXPECT_GE(c.CurrentFileTime(), c.now);
    rtp += 3636;  // 1 % more ticks than 40 ms at 90 kHz
    c.now += 40 * kMs;
  }
  // At the learned rate 3636 ticks are 40 ms.
  const uint64_t before = c.CurrentFileTime();
  c.Update(rtp);
  EXPECT_NEAR(double(c.CurrentFileTime() - before), double(40 * kMs), double(kMs));
}

TEST(TimeStampConverter, BurstAheadOfTheClockIsWorkedOffByATenth) {
  ClockedConverter c;
  uint32_t rtp = 1000;
  for (int i = 0; i < 150; ++i) {  // learn 40 ms per 3600 ticks
    c.Update(rtp);
    rtp += 3600;
    c.now += 40 * kMs;
  }
  for (int i = 0; i < 10; ++i) {  // ten frames at once: 400 ms ahead
    c.Update(rtp);
    rtp += 3600;
  }
  const uint64_t lead = c.CurrentFileTime() - c.now;
  ASSERT_GT(lead, 250 * kMs);
  // Real-time frames again: the lead shrinks every frame, by at least a
  // millisecond, and the clock never drops behind now.
  uint64_t ahead = lead;
  int frames = 0;
  while (ahead > 0 && frames < 1000) {
    c.now += 40 * kMs;
    c.Update(rtp);
    rtp += 3600;
    ASSERT_GE(c.CurrentFileTime(), c.now);
    const uint64_t next = c.CurrentFileTime() - c.now;
    EXPECT_LE(next + kMs, ahead) << "frame " << frames;
    ahead = next;
    ++frames;
  }
  EXPECT_EQ(ahead, 0u);
  EXPECT_GT(frames, 5);  // worked off gently, not in one step
}

// A camera that restarts with a new time base far ahead must not carry the
// frame times hours into the future, nor skew the learned rate.
TEST(TimeStampConverter, NewTimeBaseAfterCameraRestartResyncsToNow) {
  ClockedConverter c;
  uint32_t rtp = 1000;
  for (int i = 0; i < 200; ++i) {
    c.Update(rtp);
    rtp += 3600;
    c.now += 40 * kMs;
  }
  rtp += 0x40000000u;  // hours of RTP time in one step
  c.Update(rtp);
  EXPECT_EQ(c.CurrentFileTime(), c.now);
  for (int i = 0; i < 150; ++i) {
    rtp += 3600;
    c.now += 40 * kMs;
    c.Update(rtp);
    EXPECT_LE(c.CurrentFileTime() - c.now, 40 * kMs);
  }
  const uint64_t before = c.CurrentFileTime();
  c.now += 40 * kMs;
  c.Update(rtp + 3600);
  EXPECT_NEAR(double(c.CurrentFileTime() - before), double(40 * kMs), double(kMs));
}

// A new time base right after a burst: the clock is ahead of now, and a
// restart at now would step the frame times back.
TEST(TimeStampConverter, RestartAfterABurstNeverGoesBack) {
  ClockedConverter c;
  uint32_t rtp = 1000;
  for (int i = 0; i < 150; ++i) {
    c.Update(rtp);
    rtp += 3600;
    c.now += 40 * kMs;
  }
  for (int i = 0; i < 10; ++i) {
    c.Update(rtp);
    rtp += 3600;
  }
  ASSERT_GT(c.CurrentFileTime(), c.now + 250 * kMs);
  uint64_t last = c.CurrentFileTime();
  rtp += 0x80000000u;
  for (int i = 0; i < 30; ++i) {
    c.now += 40 * kMs;
    c.Update(rtp);
    rtp += 3600;
    // The first step is about one mean frame interval (the burst shortens it).
    EXPECT_GE(c.CurrentFileTime(), last + (i == 0 ? 30 * kMs : kMs)) << "frame " << i;
    EXPECT_GE(c.CurrentFileTime(), c.now);
    last = c.CurrentFileTime();
  }
}

TEST(TimeStampConverter, UnreadableClockAndResetReturnToUnset) {
  ClockedConverter c;
  c.Update(100);
  c.now = 0;
  c.Update(3700);
  EXPECT_EQ(c.CurrentFileTime(), 0u);
  c.now = kStart;
  c.Update(7300);
  EXPECT_EQ(c.CurrentFileTime(), kStart);
  c.Reset();
  EXPECT_EQ(c.CurrentFileTime(), 0u);
  SYSTEMTIME st{};
  c.GetTime(&st);  // unset: the system clock
  EXPECT_GE(st.wYear, 2020);
}

}  // namespace
}  // namespace quenlix
