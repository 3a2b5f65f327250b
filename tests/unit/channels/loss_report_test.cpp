#include "channels/loss_report.h"

#include <gtest/gtest.h>

namespace quenlix {
namespace {

RECEPTION_COUNTS Counts(uint64_t received, uint64_t lost, uint64_t duplicated, uint64_t late,
                        uint64_t dropped) {
  RECEPTION_COUNTS c;
  c.received = received;
  c.lost = lost;
  c.duplicated = duplicated;
  c.late = late;
  c.framesDropped = dropped;
  return c;
}

// Looks at 0 ms (the start), then once with the given counts.
TEST(LossReport, OneLinePerMinuteWithLossOnly) {
  const uint64_t minute = CLossReport::kIntervalMs;
  struct Case {
    const char* name;
    uint64_t atMs;
    RECEPTION_COUNTS counts;
    bool reported;
    LOSS_MINUTE want;
  };
  const Case cases[] = {
      {"clean minute", minute, Counts(9000, 0, 0, 0, 0), false, {}},
      {"loss before the minute is up", minute - 1, Counts(8000, 300, 0, 0, 9), false, {}},
      // Duplicates and late packets took no place in the sequence.
      {"loss over the minute", minute, Counts(8700, 312, 5, 7, 14), true, {312, 9000, 14}},
      {"dropped frames without loss", minute + 500, Counts(9000, 0, 0, 0, 2), true, {0, 9000, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CLossReport report;
    LOSS_MINUTE got;
    EXPECT_FALSE(report.Check(0, Counts(0, 0, 0, 0, 0), &got));
    ASSERT_EQ(report.Check(c.atMs, c.counts, &got), c.reported);
    if (!c.reported) continue;
    EXPECT_EQ(got.lost, c.want.lost);
    EXPECT_EQ(got.expected, c.want.expected);
    EXPECT_EQ(got.framesDropped, c.want.framesDropped);
  }
}

TEST(LossReport, EachMinuteCountsFromTheLastOne) {
  CLossReport report;
  LOSS_MINUTE got;
  report.Check(1000, Counts(100, 10, 0, 0, 1), &got);
  ASSERT_TRUE(report.Check(1000 + CLossReport::kIntervalMs, Counts(1100, 30, 0, 0, 4), &got));
  EXPECT_EQ(got.lost, 20u);
  EXPECT_EQ(got.expected, 1020u);
  EXPECT_EQ(got.framesDropped, 3u);
  // The next minute starts where this one ended, and a clean one says nothing.
  EXPECT_FALSE(report.Check(1000 + 2 * CLossReport::kIntervalMs, Counts(2100, 30, 0, 0, 4), &got));
}

}  // namespace
}  // namespace quenlix
