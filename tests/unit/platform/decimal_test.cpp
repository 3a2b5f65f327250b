#include "platform/decimal.h"

#include <gtest/gtest.h>

#include <cstring>

namespace quenlix {
namespace {

TEST(ReadDecimal, StopsAtTheFirstNonDigitTheDigitCapOrThePassedLimit) {
  const struct {
    const char* in;
    uint64_t limit;
    size_t maxDigits;
    DecimalRun out;
  } cases[] = {
      {"", 999, SIZE_MAX, {0, 0, false}},
      {"abc", 999, SIZE_MAX, {0, 0, false}},
      {" 1", 999, SIZE_MAX, {0, 0, false}},
      {"007", 999, SIZE_MAX, {7, 3, false}},
      {"12abc", 999, SIZE_MAX, {12, 2, false}},
      {"999", 999, SIZE_MAX, {999, 3, false}},
      // The value is the first one past the limit; no further digit is read.
      {"1000", 999, SIZE_MAX, {1000, 4, true}},
      {"12345", 999, SIZE_MAX, {1234, 4, true}},
      {"4294967295", UINT32_MAX, SIZE_MAX, {4294967295u, 10, false}},
      {"4294967296", UINT32_MAX, SIZE_MAX, {4294967296u, 10, true}},
      {"99999999999999999999999", UINT32_MAX, SIZE_MAX, {9999999999u, 10, true}},
      {"12345678901", UINT32_MAX, 10, {1234567890u, 10, false}},
  };
  for (const auto& c : cases) {
    const DecimalRun run = ReadDecimal(c.in, c.in + std::strlen(c.in), c.limit, c.maxDigits);
    EXPECT_EQ(run.value, c.out.value) << c.in;
    EXPECT_EQ(run.digits, c.out.digits) << c.in;
    EXPECT_EQ(run.overflow, c.out.overflow) << c.in;
  }
  // Nothing is read past the end given.
  const char text[] = "12345";
  EXPECT_EQ(ReadDecimal(text, text + 2, 999).value, 12u);
  EXPECT_EQ(ReadDecimal(std::string("12"), 5, 999).digits, 0u);
}

}  // namespace
}  // namespace quenlix
