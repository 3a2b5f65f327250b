#include "channels/stream_diagnostics.h"

#include <gtest/gtest.h>

#include "channel_test_helpers.h"

namespace quenlix {
namespace {

using testing_channels::FakeDriver;
using testing_channels::LogLine;

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
// alternating causes included, until a frame gets through again.
TEST(StreamDiagnostics, EachCauseOnceUntilAFrameGetsThrough) {
  FakeDriver driver;
  CStreamDiagnostics diagnostics(&driver);
  const struct {
    const char* cause;
    bool frameBefore;
    bool logged;
  } steps[] = {
      {"refused", false, true},  {"refused", false, false}, {"404", false, true},
      {"refused", false, false}, {"404", false, false},     {"refused", true, true},
      {"refused", false, false},
  };
  size_t expected = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.cause);
    if (step.frameBefore) diagnostics.OnFrameAccepted();
    EXPECT_EQ(step.logged, diagnostics.Report(step.cause, 1, std::string("text ") + step.cause));
    if (step.logged) ++expected;
    ASSERT_EQ(expected, driver.Lines().size());
    if (step.logged) {
      EXPECT_EQ((LogLine{1, std::string("text ") + step.cause}), driver.Lines().back());
    }
  }
}

// A text holding '%' is logged as it is, never used as a format.
TEST(StreamDiagnostics, TextIsNotAFormat) {
  FakeDriver driver;
  CStreamDiagnostics diagnostics(&driver);
  diagnostics.Report("x", 1, "GET /a?b=%s%n");
  ASSERT_EQ(1u, driver.Lines().size());
  EXPECT_EQ("GET /a?b=%s%n", driver.Lines()[0].text);
}

TEST(StreamDiagnostics, SessionIsJudgedOnceAfterItsQuietTime) {
  const uint64_t start = 1000;
  const uint64_t judged = start + CStreamDiagnostics::kQuietSessionMs;
  struct Case {
    const char* name;
    int packets;
    int frames;
    int refused;
    CStreamDiagnostics::Verdict verdict;
    const char* summary;
  };
  const Case cases[] = {
      {"nothing arrives", 0, 0, 0, CStreamDiagnostics::kSessionNoPackets, ""},
      {"a frame gets through", 40, 1, 0, CStreamDiagnostics::kSessionFine, ""},
      {"every frame dropped", 40, 0, 2, CStreamDiagnostics::kSessionAllDropped,
       "no key frame yet: 30, unsupported payload: 5, refused by the host: 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDriver driver;
    CStreamDiagnostics diagnostics(&driver);
    CountingParser parser;
    // Drops of an earlier session do not count against this one.
    parser.Drop(kDropOversize, 7);
    diagnostics.OnSessionPlaying(start, &parser);
    for (int i = 0; i < c.packets; ++i) diagnostics.OnPacket();
    for (int i = 0; i < c.frames; ++i) diagnostics.OnFrameAccepted();
    for (int i = 0; i < c.refused; ++i) diagnostics.OnFrameRefused();
    if (c.packets != 0 && c.frames == 0) {
      parser.Drop(kDropNoKeyFrame, 30);
      parser.Drop(kDropUnsupportedPayload, 5);
    }
    // The worker's wait is cut short to meet the verdict's time.
    EXPECT_EQ(1000u, diagnostics.MsUntilVerdict(start, 1000));
    EXPECT_EQ(300u, diagnostics.MsUntilVerdict(judged - 300, 1000));
    EXPECT_EQ(CStreamDiagnostics::kSessionPending, diagnostics.CheckSession(judged - 1, &parser));
    EXPECT_EQ(c.verdict, diagnostics.CheckSession(judged, &parser));
    if (c.verdict == CStreamDiagnostics::kSessionAllDropped) {
      EXPECT_EQ(c.summary, diagnostics.DropSummary());
      EXPECT_EQ("no key frame yet, unsupported payload, refused by the host",
                diagnostics.DropReasons());
    }
    EXPECT_EQ(CStreamDiagnostics::kSessionPending,
              diagnostics.CheckSession(judged + 9000, &parser));
    EXPECT_EQ(1000u, diagnostics.MsUntilVerdict(judged + 9000, 1000));
  }
}

// A session that ended before its verdict must not leave the worker's
// wait cut to nothing.
TEST(StreamDiagnostics, EndedSessionIsNotJudged) {
  FakeDriver driver;
  CStreamDiagnostics diagnostics(&driver);
  diagnostics.OnSessionPlaying(0, nullptr);
  diagnostics.OnSessionEnded();
  EXPECT_EQ(1000u, diagnostics.MsUntilVerdict(CStreamDiagnostics::kQuietSessionMs, 1000));
  EXPECT_EQ(CStreamDiagnostics::kSessionPending,
            diagnostics.CheckSession(CStreamDiagnostics::kQuietSessionMs, nullptr));
}

}  // namespace
}  // namespace quenlix
