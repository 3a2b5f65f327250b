#include <gtest/gtest.h>

#include "camera/tavrik_camera_properties.h"

namespace {

TEST(ReadDecimalValueTest, Table) {
  struct Case {
    const char* in;
    uint32_t out;
  } cases[] = {
      {"", 0},
      {"  42", 42},
      {"\t7", 7},
      {"+5", 5},
      {"-5", 0},
      {"+", 0},
      {"4294967295", 4294967295u},
      {"4294967296", 0},
      {" 1 2", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(quenlix::ReadDecimalValue(c.in), c.out) << c.in;
}

}  // namespace
