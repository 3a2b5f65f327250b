#include "channels/stream_diagnostics.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel_test_helpers.h"

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

}  // namespace
}  // namespace quenlix
