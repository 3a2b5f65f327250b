#include <gtest/gtest.h>

#include <string>

#include "media/h264_sps_reader.h"
#include "media/h264_sps_writer.h"
#include "media_test_util.h"

namespace quenlix {
namespace test {
namespace {

// "0100 1..." to bytes (spaces ignored), padded with a stop bit and zeros.
Bytes Bits(const std::string& bits) {
  Bytes out;
  int n = 0;
  uint8_t cur = 0;
  auto put = [&](int b) {
    cur = uint8_t(cur << 1 | b);
    if (++n == 8) {
      out.push_back(cur);
      cur = 0;
      n = 0;
    }
  };
  for (char c : bits) {
    if (c == '0' || c == '1') put(c - '0');
  }
  put(1);
  while (n != 0) put(0);
  return out;
}

Bytes NalOf(uint8_t header, const Bytes& rbsp) { return Cat({{header}, rbsp}); }

TEST(H264SpsReader, ReadsEncoderSpsOfEachProfile) {
  struct Case {
    const char* file;
    uint32_t width, height;
  };
  const Case cases[] = {
      {"h264_baseline_320x180.h264", 320, 192},  // cropped: coded size
      {"h264_main_352x288.h264", 352, 288},
      {"h264_high_640x480_slices.h264", 640, 480},  // high; its scaling lists ride in the PPS
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const Bytes stream = ReadFile(MediaPath(c.file));
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(CH264SpsReader::ReadPictureSize(stream.data(), stream.size(), &w, &h));
    EXPECT_EQ(w, c.width);
    EXPECT_EQ(h, c.height);
  }
}

std::string Ue(uint32_t v) {
  std::string bits;
  const uint64_t coded = uint64_t(v) + 1;
  int len = 0;
  while ((coded >> len) > 1) ++len;
  bits.append(size_t(len), '0');
  for (int i = len; i >= 0; --i) bits.push_back(char('0' + ((coded >> i) & 1)));
  return bits + " ";
}
std::string Se(int v) { return Ue(v > 0 ? uint32_t(2 * v - 1) : uint32_t(-2 * v)); }
std::string Rep(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(H264SpsReader, HandcraftedSpsFieldsAreWalkedInOrder) {
  struct Case {
    const char* name;
    std::string bits;
    bool ok;
    uint32_t width, height;
  };
  const std::string base = "01000010 11000000 00011110 " + Ue(0);
  const std::string high = "01100100 00000000 00101000 " + Ue(0);
  const std::string size720 = Ue(1) + "0 " + Ue(79) + Ue(44) + "1";
  const Case cases[] = {
      {"baseline poc 0, field pairs",
       base + Ue(0) + Ue(0) + Ue(0) + Ue(1) + "0 " + Ue(79) + Ue(35) + "0", true, 1280,
       2 * 36 * 16},
      {"poc type 1 with a cycle of two",
       base + Ue(0) + Ue(1) + "1 " + Se(-3) + Se(2) + Ue(2) + Se(1) + Se(-1) + size720, true, 1280,
       720},
      {"poc cycle beyond 255 is refused",
       base + Ue(0) + Ue(1) + "1 " + Se(0) + Se(0) + Ue(300) + Rep(Se(1), 300) + size720, false, 0,
       0},
      {"high, a scaling list ended early by a zero scale",
       high + Ue(1) + Ue(0) + Ue(0) + "0 1 1 " + Se(-8) + "0000000 " + Ue(0) + Ue(2) + size720,
       true, 1280, 720},
      {"high, a full 8x8 scaling list",
       high + Ue(1) + Ue(0) + Ue(0) + "0 1 000000 1 " + Rep(Se(1), 64) + "0 " + Ue(0) + Ue(2) +
           size720,
       true, 1280, 720},
      {"4:4:4 reads twelve list flags",
       high + Ue(3) + "0 " + Ue(0) + Ue(0) + "0 1 " + Rep("0", 12) + " " + Ue(0) + Ue(2) + size720,
       true, 1280, 720},
      {"truncated before the size", base + Ue(0) + Ue(0) + Ue(0) + Ue(1), false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes nal = NalOf(0x67, Bits(c.bits));
    uint32_t w = 0, h = 0;
    const bool ok = CH264SpsReader::ReadNalUnit(nal.data(), nal.size(), &w, &h);
    EXPECT_EQ(ok, c.ok);
    if (c.ok) {
      EXPECT_EQ(w, c.width);
      EXPECT_EQ(h, c.height);
    }
  }
}

// Two zero bytes in the RBSP are sent as 00 00 03; read as it stands, the
// 03 would shift every later field.
TEST(H264SpsReader, EmulationPreventionBytesAreRemoved) {
  // Constraint flags and level 0, then sps id 63: 00 00 02 in the RBSP.
  const Bytes rbsp = Bits("01000010 00000000 00000000 " + Ue(63) + Ue(0) + Ue(2) + Ue(1) + "0 " +
                          Ue(7) + Ue(7) + "1");
  Bytes escaped;
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      escaped.push_back(3);
      zeros = 0;
    }
    escaped.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  ASSERT_NE(escaped.size(), rbsp.size()) << "the case must contain an escape";
  const Bytes nal = NalOf(0x67, escaped);
  uint32_t w = 0, h = 0;
  ASSERT_TRUE(CH264SpsReader::ReadNalUnit(nal.data(), nal.size(), &w, &h));
  EXPECT_EQ(w, 128u);
  EXPECT_EQ(h, 128u);
  const Bytes frame = Cat({{0, 0, 1}, nal, {0, 0, 1, 0x65, 0x88}});
  ASSERT_TRUE(CH264SpsReader::ReadPictureSize(frame.data(), frame.size(), &w, &h));
  EXPECT_EQ(w, 128u);
}

TEST(H264SpsReader, FindsTheSpsInAFrameOnlyAfterAStartCode) {
  const Bytes sps = CH264SpsWriter::BuildSps(640, 360);
  uint32_t w = 0, h = 0;
  const Bytes frame = Cat({{0, 0, 1, 0x09, 0x30, 0, 0, 1}, sps, {0, 0, 1, 0x68, 0xCE}});
  ASSERT_TRUE(CH264SpsReader::ReadPictureSize(frame.data(), frame.size(), &w, &h));
  EXPECT_EQ(w, 640u);
  EXPECT_EQ(h, 368u);
  const Bytes noStart = sps;
  EXPECT_FALSE(CH264SpsReader::ReadPictureSize(noStart.data(), noStart.size(), &w, &h));
  const Bytes tail = {0x41, 0, 0, 1};  // start code with nothing after it
  EXPECT_FALSE(CH264SpsReader::ReadPictureSize(tail.data(), tail.size(), &w, &h));
  // The SPS stops at the next start code: a cut SPS is not completed from
  // the NAL unit after it.
  const Bytes cut = Cat({{0, 0, 1}, Bytes(sps.begin(), sps.begin() + 4), {0, 0, 1}, sps});
  EXPECT_FALSE(CH264SpsReader::ReadPictureSize(cut.data(), cut.size(), &w, &h));
}

// An IDR picture of I_PCM macroblocks for the fixed PPS (CAVLC, deblocking
// control present), so that a decoder has a picture to size.
[[maybe_unused]] Bytes PcmIdrSlice(uint32_t mbs) {
  std::string bits = Ue(0) + Ue(7) + Ue(0) + "0000 " + Ue(0) + "0 0 " + Se(0) + Ue(1);
  Bytes rbsp;
  auto flush = [&](const std::string& b, bool align) {
    std::string all;
    for (char c : b) {
      if (c == '0' || c == '1') all.push_back(c);
    }
    if (align) {
      while (all.size() % 8 != 0) all.push_back('0');
    }
    return all;
  };
  std::string stream = flush(bits, false);
  for (uint32_t i = 0; i < mbs; ++i) {
    stream += flush(Ue(25), false);  // I_PCM
    while (stream.size() % 8 != 0) stream.push_back('0');
    for (int k = 0; k < 384; ++k) stream += "10000000";
  }
  stream.push_back('1');
  while (stream.size() % 8 != 0) stream.push_back('0');
  for (size_t i = 0; i < stream.size(); i += 8) {
    rbsp.push_back(uint8_t(std::stoi(stream.substr(i, 8), nullptr, 2)));
  }
  Bytes nal = {0x65};
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      nal.push_back(3);
      zeros = 0;
    }
    nal.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return nal;
}

// The decoder is the build machine's ffmpeg, which a Windows build of the
// tests cannot start.
#if QUENLIX_TEST_DECODER
TEST(H264SpsWriter, BuildsReadableSetsThatADecoderAccepts) {
  struct Case {
    uint32_t width, height;
    const char* probed;
  };
  const Case cases[] = {{1920, 1080, "1920x1080"},
                        {704, 576, "704x576"},
                        {352, 240, "352x240"},
                        {1000, 562, "1000x562"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.probed);
    const Bytes sps = CH264SpsWriter::BuildSps(c.width, c.height);
    ASSERT_FALSE(sps.empty());
    ASSERT_LE(sps.size(), 64u);
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(CH264SpsReader::ReadNalUnit(sps.data(), sps.size(), &w, &h));
    EXPECT_EQ(w, (c.width + 15) / 16 * 16);
    EXPECT_EQ(h, (c.height + 15) / 16 * 16);
    const uint32_t mbs = (c.width + 15) / 16 * ((c.height + 15) / 16);
    const Bytes stream = Cat({{0, 0, 0, 1},
                              sps,
                              {0, 0, 0, 1},
                              CH264SpsWriter::FixedPps(),
                              {0, 0, 0, 1},
                              PcmIdrSlice(mbs)});
    EXPECT_EQ(ProbeSize(stream, "sps" + std::to_string(c.width)), std::string(c.probed) + "x1");
  }
  EXPECT_TRUE(CH264SpsWriter::BuildSps(0, 480).empty());
  EXPECT_TRUE(CH264SpsWriter::BuildSps(640, 0).empty());
}
#endif  // QUENLIX_TEST_DECODER

}  // namespace
}  // namespace test
}  // namespace quenlix
