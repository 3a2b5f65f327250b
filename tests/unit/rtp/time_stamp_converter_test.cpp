#include "rtp/time_stamp_converter.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "platform/platform.h"

namespace quenlix {
namespace {

constexpr uint64_t kMs = 10000;
// 2024-01-01 as a file time; any plausible date serves.
constexpr uint64_t kStart = 133485408000000000ull;

class ClockedConverter : public CTimeStampConverter {
 public:
  // Frames ticks and wall time apart; check runs after each update.
  void Feed(
      uint32_t& rtp, int frames, uint32_t ticks, uint64_t wall,
      const std::function<void()>& check = [] {}) {
    for (int i = 0; i < frames; ++i) {
      Update(rtp);
      check();
      rtp += ticks;
      now += wall;
    }
  }
  uint64_t now = kStart;

 protected:
  uint64_t Now() const override { return now; }
};

TEST(StatisticsHelper, KeepsARunningMeanOverItsWindow) {
  TStatisticsHelper<unsigned int> stats(3);
  EXPECT_EQ(stats.Mean(), 0.0);
  for (unsigned int x : {1u, 2u, 3u}) stats.Add(x);
  EXPECT_EQ(stats.Mean(), 2.0);
  stats.Add(10);  // 1 leaves
  EXPECT_EQ(stats.Count(), 3u);
  EXPECT_EQ(stats.Mean(), 5.0);
  stats.Clear();
  EXPECT_EQ(stats.Count(), 0u);
  EXPECT_EQ(stats.Mean(), 0.0);
  stats.Add(4);
  EXPECT_EQ(stats.Mean(), 4.0);  // nothing of the old sum is left
}

// While the rate is learned, RTP time counts at 90 kHz (111 units a tick,
// so a second is 90,091 ticks) and never behind the clock.
TEST(TimeStampConverter, FrameTimesWhileLearning) {
  struct Step {
    uint64_t now;
    uint32_t rtp;
    uint64_t want;
  };
  const uint64_t later = kStart + 400 * kMs;
  const struct {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"39.96 ms of RTP time in 400 ms, then in none",
       {{kStart, 3600, kStart}, {later, 7200, later}, {later, 10800, later + 399600}}},
      {"equal stamps step a millisecond",
       {{kStart, 5000, kStart},
        {kStart, 5000, kStart + kMs},
        {kStart, 8600, kStart + kMs + 399600}}},
      {"a wrap steps a millisecond",
       {{kStart, 4294967000u, kStart},
        {kStart, 200, kStart + kMs},
        {kStart, 3800, kStart + kMs + 399600}}},
      {"a jump just short of a second is taken",
       {{kStart, 1, kStart}, {kStart + 5 * kMs, 90091, kStart + 90090ull * 111}}},
      {"a jump of a second resets to now",
       {{kStart, 1, kStart}, {kStart + 5 * kMs, 90092, kStart + 5 * kMs}}},
      {"an unreadable clock unsets the time",
       {{kStart, 100, kStart}, {0, 3700, 0}, {kStart, 7300, kStart}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClockedConverter converter;
    for (size_t i = 0; i < c.steps.size(); ++i) {
      converter.now = c.steps[i].now;
      converter.Update(c.steps[i].rtp);
      EXPECT_EQ(converter.CurrentFileTime(), c.steps[i].want) << "step " << i;
    }
  }
}

TEST(TimeStampConverter, GetTimeGivesTheFrameTimeOrWhenUnsetTheSystemClock) {
  ClockedConverter c;
  c.Update(1000);
  SYSTEMTIME st{};
  c.GetTime(&st);
  uint64_t back = 0;
  ASSERT_TRUE(platform::SystemTimeToFileTime(st, &back));
  EXPECT_EQ(back, kStart);
  c.Reset();
  EXPECT_EQ(c.CurrentFileTime(), 0u);
  c.GetTime(&st);
  EXPECT_GE(st.wYear, 2020);
}

// Frames every 40 ms of wall time: after learning, the rate comes from the
// measurements, and a camera clock 1 % fast never puts the times behind now.
TEST(TimeStampConverter, EstimatingFollowsTheMeasuredRate) {
  ClockedConverter c;
  uint32_t rtp = 1000;
  c.Feed(rtp, 400, 3636, 40 * kMs, [&] { EXPECT_GE(c.CurrentFileTime(), c.now); });
  const uint64_t before = c.CurrentFileTime();
  c.Update(rtp);
  EXPECT_NEAR(double(c.CurrentFileTime() - before), double(40 * kMs), double(kMs));
}

// After learning, a camera that restarts with a new time base far ahead
// must not carry the frame times hours into the future, nor skew the learned
// rate; a burst ahead of the clock is worked off, and a restart while ahead
// never steps the times back.
TEST(TimeStampConverter, NewTimeBasesAndBurstsAfterLearning) {
  ClockedConverter learned;
  uint32_t learnedRtp = 1000;
  learned.Feed(learnedRtp, 150, 3600, 40 * kMs);
  {
    ClockedConverter c = learned;
    uint32_t rtp = learnedRtp + 0x40000000u;  // hours of RTP time in one step
    c.Update(rtp);
    EXPECT_EQ(c.CurrentFileTime(), c.now);
    rtp += 3600;
    c.now += 40 * kMs;
    c.Feed(rtp, 150, 3600, 40 * kMs, [&] { EXPECT_LE(c.CurrentFileTime() - c.now, 40 * kMs); });
    const uint64_t before = c.CurrentFileTime();
    c.Update(rtp);
    EXPECT_NEAR(double(c.CurrentFileTime() - before), double(40 * kMs), double(kMs));
  }
  learned.Feed(learnedRtp, 10, 3600, 0);  // ten frames at once: 400 ms ahead
  ASSERT_GT(learned.CurrentFileTime(), learned.now + 250 * kMs);
  {
    // Real-time frames again: the lead shrinks every frame by at least a
    // millisecond, gently, and the clock never drops behind now.
    ClockedConverter c = learned;
    uint32_t rtp = learnedRtp;
    uint64_t ahead = c.CurrentFileTime() - c.now;
    int frames = 0;
    c.now += 40 * kMs;
    c.Feed(rtp, 300, 3600, 40 * kMs, [&] {
      EXPECT_GE(c.CurrentFileTime(), c.now);
      const uint64_t next = c.CurrentFileTime() - c.now;
      if (ahead > 0) {
        EXPECT_LE(next + kMs, ahead) << "frame " << frames;
        ++frames;
      }
      ahead = next;
    });
    EXPECT_EQ(ahead, 0u);
    EXPECT_GT(frames, 5);
  }
  // A new time base while ahead: a restart at now would step the frame
  // times back. The first step is about one mean frame interval.
  ClockedConverter c = learned;
  uint32_t rtp = learnedRtp + 0x80000000u;
  uint64_t last = c.CurrentFileTime();
  int frame = 0;
  c.now += 40 * kMs;
  c.Feed(rtp, 30, 3600, 40 * kMs, [&] {
    EXPECT_GE(c.CurrentFileTime(), last + (frame++ == 0 ? 30 * kMs : kMs)) << "frame " << frame;
    EXPECT_GE(c.CurrentFileTime(), c.now);
    last = c.CurrentFileTime();
  });
}

}  // namespace
}  // namespace quenlix
