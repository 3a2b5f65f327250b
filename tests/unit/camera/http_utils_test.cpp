#include "camera/http_utils.h"

#include <gtest/gtest.h>

#include <iterator>
#include <set>

#include "fake_driver.h"

namespace {

using quenlix::HUtils::ShouldReport;

TEST(ShouldReportTest, CounterBandsAndItsWrapFrom65535To4095) {
  testhost::FakeDriver sink;
  // Which calls report, walked from 1 up past one wrap.
  std::set<uint32_t> reported;
  for (uint32_t call = 1; call <= 65535 + 4096 + 1; ++call) {
    if (ShouldReport(&sink)) reported.insert(call);
  }
  const uint32_t reporting[] = {1, 14, 16, 240, 256, 3840, 4096, 8192, 61440};
  const uint32_t silent[] = {15, 17, 254, 255, 272, 4095, 8193, 65534};
  for (uint32_t call : reporting) EXPECT_EQ(reported.count(call), 1u) << call;
  for (uint32_t call : silent) EXPECT_EQ(reported.count(call), 0u) << call;
  // The first 14 calls all report; 15..254 only multiples of 16 (15 of them).
  EXPECT_EQ(std::distance(reported.begin(), reported.lower_bound(255)), 14 + 15);

  sink.repeatCount = 65533;
  EXPECT_FALSE(ShouldReport(&sink));  // 65534
  EXPECT_EQ(sink.repeatCount, 65534u);
  EXPECT_FALSE(ShouldReport(&sink));  // 65535 -> 4095, not a multiple of 4096
  EXPECT_EQ(sink.repeatCount, 4095u);
  EXPECT_TRUE(ShouldReport(&sink));  // 4096
  EXPECT_EQ(sink.repeatCount, 4096u);
  EXPECT_FALSE(ShouldReport(nullptr));
}

TEST(AuthSchemeMappingTest, PreferenceToSchemeBit) {
  const std::pair<uint32_t, uint32_t> cases[] = {{0, 1},  {1, 2},  {2, 4},  {3, 8}, {4, 16},
                                                 {5, 16}, {6, 16}, {7, 16}, {8, 1}, {11, 8}};
  for (const auto& c : cases) {
    EXPECT_EQ(Web::CHttpSender::MapAuthScheme(c.first), c.second) << c.first;
  }
}

}  // namespace
