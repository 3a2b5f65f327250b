#include "channels/stream_diagnostics.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "channel_test_helpers.h"
#include "channels/loss_report.h"

namespace quenlix {
namespace {

using namespace testing_channels;
using Diagnostics = CStreamDiagnostics;

// A depacketizer whose drop counts the test sets.
struct CountingParser : CRTPMediaParser {
  CountingParser() : CRTPMediaParser(nullptr, "") {}
  void HandlePacket(const RTPPacket&, bool) override {}
  void Reset() override {}
  void Drop(DropReason reason, int times) {
    for (int i = 0; i < times; ++i) CountDrop(reason);
  }
};

// A camera that stays down must not flood the log: each cause is told once,
// alternating causes included, until a frame gets through again. The text
// is logged as it is, never used as a format.
TEST(StreamDiagnostics, EachCauseOnceUntilAFrameGetsThrough) {
  FakeDriver driver;
  Diagnostics diagnostics(&driver);
  const struct {
    const char* cause;
    bool frameBefore;
    bool logged;
  } steps[] = {
      {"refused", false, true},  {"refused", false, false}, {"404", false, true},
      {"refused", false, false}, {"404", false, false},     {"refused", true, true},
      {"refused", false, false},
  };
  std::vector<LogLine> expected;
  for (const auto& step : steps) {
    if (step.frameBefore) diagnostics.OnFrameAccepted();
    const std::string text = std::string("GET /a?b=%s%n ") + step.cause;
    EXPECT_EQ(step.logged, diagnostics.Report(step.cause, 1, text)) << step.cause;
    if (step.logged) expected.push_back({1, text});
  }
  EXPECT_EQ(driver.Lines(), expected);
}

// The worker's wait is cut short to meet the verdict's time; drops of an
// earlier session do not count against this one; a session that ended
// before its verdict is not judged.
TEST(StreamDiagnostics, SessionIsJudgedOnceAfterItsQuietTime) {
  const uint64_t start = 1000;
  const uint64_t judged = start + Diagnostics::kQuietSessionMs;
  const struct {
    const char* name;
    int packets, frames, refused;
    bool ended;
    Diagnostics::Verdict verdict;
  } cases[] = {
      {"nothing arrives", 0, 0, 0, false, Diagnostics::kSessionNoPackets},
      {"a frame gets through", 40, 1, 0, false, Diagnostics::kSessionFine},
      {"every frame dropped", 40, 0, 2, false, Diagnostics::kSessionAllDropped},
      {"ended early", 40, 0, 2, true, Diagnostics::kSessionPending},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDriver driver;
    Diagnostics diagnostics(&driver);
    CountingParser parser;
    parser.Drop(kDropOversize, 7);
    diagnostics.OnSessionPlaying(start, &parser);
    for (int i = 0; i < c.packets; ++i) diagnostics.OnPacket();
    for (int i = 0; i < c.frames; ++i) diagnostics.OnFrameAccepted();
    for (int i = 0; i < c.refused; ++i) diagnostics.OnFrameRefused();
    if (c.packets != 0 && c.frames == 0) {
      parser.Drop(kDropNoKeyFrame, 30);
      parser.Drop(kDropUnsupportedPayload, 5);
    }
    if (c.ended) diagnostics.OnSessionEnded();
    EXPECT_EQ(1000u, diagnostics.MsUntilVerdict(start, 1000));
    EXPECT_EQ(c.ended ? 1000u : 300u, diagnostics.MsUntilVerdict(judged - 300, 1000));
    EXPECT_EQ(c.ended ? 1000u : 0u, diagnostics.MsUntilVerdict(judged, 1000));
    EXPECT_EQ(Diagnostics::kSessionPending, diagnostics.CheckSession(judged - 1, &parser));
    EXPECT_EQ(c.verdict, diagnostics.CheckSession(judged, &parser));
    if (c.verdict == Diagnostics::kSessionAllDropped) {
      EXPECT_EQ("no key frame yet: 30, unsupported payload: 5, refused by the host: 2",
                diagnostics.DropSummary());
      EXPECT_EQ("no key frame yet, unsupported payload, refused by the host",
                diagnostics.DropReasons());
    }
    EXPECT_EQ(Diagnostics::kSessionPending, diagnostics.CheckSession(judged + 9000, &parser));
    EXPECT_EQ(1000u, diagnostics.MsUntilVerdict(judged + 9000, 1000));
  }
}

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
