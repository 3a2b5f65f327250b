#include "channels/loss_report.h"

#include <gtest/gtest.h>

#include <tuple>

namespace quenlix {
namespace {

// Counts are received, lost, duplicated, reordered, repaired, late, frames
// dropped. Each case looks at startMs with the base counts, then at atMs;
// the minute counts from the last look, and is reported only with a loss or
// a dropped frame in it.
TEST(LossReport, OneLinePerMinuteWithLossOnly) {
  const uint64_t minute = CLossReport::kIntervalMs;
  const struct {
    const char* name;
    uint64_t startMs;
    RECEPTION_COUNTS base;
    uint64_t atMs;
    RECEPTION_COUNTS counts;
    LOSS_MINUTE want;  // all zero: nothing reported
  } cases[] = {
      {"clean", 0, {}, minute, {9000, 0, 0, 0, 0, 0, 0}, {}},
      {"not a minute yet", 0, {}, minute - 1, {8000, 300, 0, 0, 0, 0, 9}, {}},
      // Duplicates and late packets took no place in the sequence.
      {"loss", 0, {}, minute, {8700, 312, 5, 0, 0, 7, 14}, {312, 9000, 14}},
      {"drops only", 0, {}, minute + 500, {9000, 0, 0, 0, 0, 0, 2}, {0, 9000, 2}},
      {"from the last look",
       1000,
       {100, 10, 0, 0, 0, 0, 1},
       1000 + minute,
       {1100, 30, 0, 0, 0, 0, 4},
       {20, 1020, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool reported = c.want.lost != 0 || c.want.framesDropped != 0;
    CLossReport report;
    LOSS_MINUTE got;
    EXPECT_FALSE(report.Check(c.startMs, c.base, &got));
    ASSERT_EQ(report.Check(c.atMs, c.counts, &got), reported);
    if (!reported) continue;
    EXPECT_EQ(std::make_tuple(got.lost, got.expected, got.framesDropped),
              std::make_tuple(c.want.lost, c.want.expected, c.want.framesDropped));
    // The next minute starts where this one ended, and a clean one says nothing.
    EXPECT_FALSE(report.Check(c.atMs + minute, c.counts, &got));
  }
}

}  // namespace
}  // namespace quenlix
