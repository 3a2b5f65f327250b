#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/byte_cursor.h"
#include "platform/decimal.h"

namespace quenlix {
namespace {

TEST(ByteCursor, EachWidthIsWrittenBigEndianAndReadBackButNotPastTheBuffer) {
  std::vector<uint8_t> out;
  ByteWriter(&out).U8(0xA5).U16(0xBEEF).U24(0xC0FFEE).U32(0xDEADBEEF);
  EXPECT_EQ(out,
            (std::vector<uint8_t>{0xA5, 0xBE, 0xEF, 0xC0, 0xFF, 0xEE, 0xDE, 0xAD, 0xBE, 0xEF}));
  ByteReader r(out.data(), out.size());
  EXPECT_EQ(r.U8(), 0xA5u);
  EXPECT_EQ(r.U16(), 0xBEEFu);
  EXPECT_EQ(r.U24(), 0xC0FFEEu);
  EXPECT_EQ(r.U32(), 0xDEADBEEFu);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.Remaining(), 0u);
  // A write past the buffer is not made and fails the writer.
  uint8_t fixed[4] = {0, 0, 0, 0xFF};
  ByteWriter w(fixed, 3);
  w.U16(0x0102).U16(0x0304).U8(5);
  EXPECT_FALSE(w.ok());
  EXPECT_EQ(w.Size(), 2u);
  EXPECT_EQ(std::vector<uint8_t>(fixed, fixed + 4), (std::vector<uint8_t>{1, 2, 0, 0xFF}));
}

TEST(ByteCursor, AReadPastTheEndFailsReturnsZeroAndTouchesNothingBeyond) {
  // The reader sees three bytes; the fourth is there only to be left alone.
  static const uint8_t bytes[] = {1, 2, 3, 0xFF};
  struct Case {
    const char* name;
    uint32_t (*read)(ByteReader&);
    uint32_t value;
    bool ok;
    size_t remaining;
  };
  const Case cases[] = {
      {"U24 fits", [](ByteReader& r) { return r.U24(); }, 0x010203, true, 0},
      {"U32 past", [](ByteReader& r) { return r.U32(); }, 0, false, 0},
      {"U16 then U16", [](ByteReader& r) { return uint32_t(r.U16() + r.U16()); }, 0x0102, false, 0},
      {"Take beyond", [](ByteReader& r) { return uint32_t(r.Take(4) != nullptr); }, 0, false, 0},
      {"Take all", [](ByteReader& r) { return uint32_t(*r.Take(3)); }, 1, true, 0},
      {"Take none", [](ByteReader& r) { return uint32_t(r.Take(0) == bytes); }, 1, true, 3},
      {"Skip past, U8", [](ByteReader& r) { return r.Skip(4), uint32_t(r.U8()); }, 0, false, 0},
      {"Skip, U8", [](ByteReader& r) { return r.Skip(2), uint32_t(r.U8()); }, 3, true, 0},
  };
  for (const Case& c : cases) {
    ByteReader r(bytes, 3);
    EXPECT_EQ(c.read(r), c.value) << c.name;
    EXPECT_EQ(r.ok(), c.ok) << c.name;
    EXPECT_EQ(r.Remaining(), c.remaining) << c.name;
  }
}

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
