#include "driver/debug_info.h"

#include <gtest/gtest.h>

#include <string>

namespace quenlix {
namespace {

struct LevelCase {
  const char* name;
  uint16_t major, minor;
  uint32_t given;
  uint8_t posted;
};

TEST(AdaptMessageLevel, FollowsTheHostVersion) {
  const LevelCase cases[] = {
      {"5.11 info", 5, 11, 3, 2},     {"5.11 opened", 5, 11, 100, 2},
      {"5.11 error", 5, 11, 1, 1},    {"5.12 info", 5, 12, 3, 3},
      {"5.12 opened", 5, 12, 100, 3}, {"6.2 opened", 6, 2, 100, 3},
      {"6.3 opened", 6, 3, 100, 100}, {"6.3 info", 6, 3, 3, 3},
      {"7.0 opened", 7, 0, 100, 100}, {"0.0 before open", 0, 0, 100, 2},
      {"0.0 error", 0, 0, 1, 1},      {"6.10 opened", 6, 10, 100, 100},
      {"5.99 opened", 5, 99, 100, 3}, {"4.20 info", 4, 20, 3, 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AdaptMessageLevel(c.given, c.major, c.minor), c.posted) << c.name;
  }
}

TEST(AdaptMessageLevel, ErrorLevelIsNeverChanged) {
  for (uint16_t major = 0; major < 8; ++major) {
    for (uint16_t minor = 0; minor < 20; ++minor) {
      EXPECT_EQ(AdaptMessageLevel(1, major, minor), 1) << major << "." << minor;
    }
  }
}

TEST(CDebugInfo, CopiesTheTextAndNullsAnEmptyOne) {
  std::string text(5000, 'x');
  CDebugInfo record(text.c_str(), 3);
  text[0] = 'y';  // the record owns a copy
  ASSERT_NE(record.GetText(), nullptr);
  EXPECT_EQ(std::string(record.GetText()), std::string(5000, 'x'));
  EXPECT_EQ(record.GetLevel(), 3);

  CDebugInfo empty("", 1);
  EXPECT_EQ(empty.GetText(), nullptr);
  CDebugInfo null(nullptr, 1);
  EXPECT_EQ(null.GetText(), nullptr);
}

}  // namespace
}  // namespace quenlix
