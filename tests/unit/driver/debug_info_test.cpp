#include "driver/debug_info.h"

#include <gtest/gtest.h>

#include <string>

namespace quenlix {
namespace {

TEST(AdaptMessageLevel, FollowsTheHostVersionAndNeverChangesAnError) {
  const struct {
    uint16_t major, minor;
    uint32_t given;
    uint8_t posted;
  } cases[] = {{5, 11, 3, 2},   {5, 11, 100, 2},   {5, 11, 1, 1},    {5, 12, 3, 3},
               {5, 12, 100, 3}, {6, 2, 100, 3},    {6, 2, 1, 1},     {6, 3, 100, 100},
               {6, 3, 3, 3},    {6, 3, 1, 1},      {7, 0, 100, 100}, {0, 0, 100, 2},
               {0, 0, 1, 1},    {6, 10, 100, 100}, {5, 99, 100, 3},  {4, 20, 3, 2}};
  for (const auto& c : cases) {
    EXPECT_EQ(AdaptMessageLevel(c.given, c.major, c.minor), c.posted)
        << c.given << " for " << c.major << "." << c.minor;
  }
}

TEST(CDebugInfo, CopiesTheTextAndNullsAnEmptyOne) {
  std::string text(5000, 'x');
  CDebugInfo record(text.c_str(), 3);
  text[0] = 'y';  // the record owns a copy
  ASSERT_NE(record.GetText(), nullptr);
  EXPECT_EQ(std::string(record.GetText()), std::string(5000, 'x'));
  EXPECT_EQ(record.GetLevel(), 3);
  EXPECT_EQ(CDebugInfo("", 1).GetText(), nullptr);
  EXPECT_EQ(CDebugInfo(nullptr, 1).GetText(), nullptr);
}

}  // namespace
}  // namespace quenlix
