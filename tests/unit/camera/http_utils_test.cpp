#include "camera/http_utils.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "camera/text_helpers.h"

namespace {

using quenlix::HUtils::ShouldReport;

class RecordingSink : public IDebugMessage {
 public:
  QUENLIX_IMPLEMENTS_DESTRUCTOR()
  virtual ~RecordingSink() = default;
  void DebugMessage(uint32_t level, const char* format, ...) override {
    va_list args;
    va_start(args, format);
    lines.push_back({level, quenlix::HUtils::FormatStringV(format, args)});
    va_end(args);
  }
  struct Line {
    uint32_t level;
    std::string text;
  };
  std::vector<Line> lines;
};

TEST(ShouldReportTest, CounterOverItsWholeRange) {
  RecordingSink sink;
  // Which counter values report, walked from 1 up past one wrap.
  std::vector<uint32_t> reported;
  for (uint32_t call = 1; call <= 65535 + 4096 + 1; ++call) {
    if (ShouldReport(&sink)) reported.push_back(call);
  }
  struct Case {
    uint32_t call;
    bool reports;
  } cases[] = {
      {1, true},    {14, true},   {15, false},   {16, true},    {17, false},    {240, true},
      {254, false}, {255, false}, {256, true},   {272, false},  {3840, true},   {4095, false},
      {4096, true}, {8192, true}, {8193, false}, {61440, true}, {65534, false},
  };
  auto contains = [&](uint32_t n) {
    for (uint32_t r : reported) {
      if (r == n) return true;
    }
    return false;
  };
  for (const Case& c : cases) EXPECT_EQ(contains(c.call), c.reports) << "call " << c.call;
  // The first 14 calls all report; 15..254 only multiples of 16 (15 of them).
  size_t below255 = 0;
  for (uint32_t r : reported) below255 += r < 255 ? 1 : 0;
  EXPECT_EQ(below255, 14u + 15u);
}

TEST(ShouldReportTest, CounterWrapsFrom65535To4095) {
  RecordingSink sink;
  sink.repeatCount = 65533;
  EXPECT_FALSE(ShouldReport(&sink));  // 65534
  EXPECT_EQ(sink.repeatCount, 65534u);
  EXPECT_FALSE(ShouldReport(&sink));  // 65535 -> 4095, not a multiple of 4096
  EXPECT_EQ(sink.repeatCount, 4095u);
  EXPECT_TRUE(ShouldReport(&sink));  // 4096
  EXPECT_EQ(sink.repeatCount, 4096u);
}

TEST(ShouldReportTest, NullSinkNeverReports) { EXPECT_FALSE(ShouldReport(nullptr)); }

TEST(AuthSchemeMappingTest, PreferenceToSchemeBit) {
  struct Case {
    uint32_t preference;
    uint32_t scheme;
  } cases[] = {{0, 1}, {1, 2}, {2, 4}, {3, 8}, {4, 16}, {5, 16}, {6, 16}, {7, 16}, {8, 1}, {11, 8}};
  for (const Case& c : cases) {
    EXPECT_EQ(Web::CHttpSender::MapAuthScheme(c.preference), c.scheme) << c.preference;
  }
}

}  // namespace
