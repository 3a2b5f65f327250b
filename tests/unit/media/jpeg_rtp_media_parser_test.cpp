#include "media/jpeg_rtp_media_parser.h"

#include <gtest/gtest.h>

#include <string>

#include "media/jpeg_headers.h"
#include "media/sample_contract.h"
#include "media_test_util.h"

namespace quenlix {
namespace test {
namespace {

Bytes MainHeader(uint8_t type, uint8_t q, uint8_t w8, uint8_t h8, uint32_t offset = 0) {
  return {0, uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset), type, q, w8, h8};
}

TEST(JpegTables, ScaleFromQAsTheStandardTablesDo) {
  struct Case {
    uint8_t q;
    uint8_t lumaFirst, lumaLast, chromaFirst, chromaLast;
  };
  // Zig-zag order: first = DC, last = (7,7).
  const Case cases[] = {
      {50, 16, 99, 17, 99},     // scale 100: the tables themselves
      {0, 255, 255, 255, 255},  // scale 5000, clamped
      {99, 1, 2, 1, 2},         // scale 2
      {127, 1, 2, 1, 2},        // clamped to 99
      {76, 8, 48, 8, 48},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.q));
    uint8_t luma[64], chroma[64];
    CJpegHeaders::ComputeTables(c.q, luma, chroma);
    EXPECT_EQ(luma[0], c.lumaFirst);
    EXPECT_EQ(luma[63], c.lumaLast);
    EXPECT_EQ(chroma[0], c.chromaFirst);
    EXPECT_EQ(chroma[63], c.chromaLast);
  }
}

// A type 1, Q 50, 320 by 240 packet.
TestPacket Part(uint32_t offset, const Bytes& rest, uint16_t seq, bool marker) {
  return Packet(Cat({MainHeader(1, 50, 40, 30, offset), rest}), seq, marker);
}

struct Check {
  long at;  // from the end when negative
  Bytes bytes;
};
Check At(long at, Bytes bytes) { return {at, std::move(bytes)}; }

// The sizes of the pictures the client is given, bytes of the first, and
// the drop counts named. Returns the pictures.
std::vector<DeliveredFrame> Expect(const char* name, const std::vector<TestPacket>& packets,
                                   const std::vector<size_t>& sizes,
                                   const std::vector<Check>& checks = {},
                                   const std::vector<std::pair<DropReason, uint32_t>>& drops = {},
                                   size_t refuse = 0) {
  SCOPED_TRACE(name);
  Host h;
  h.refuse = refuse;
  CJpegRTPMediaParser p(&h.driver, kSampleSourceName);
  p.SetClient(&h);
  Feed(p, packets);
  std::vector<size_t> got;
  for (const DeliveredFrame& f : h.frames) {
    got.push_back(f.data.size());
    // The size in units of 8 from the first packet's main header.
    EXPECT_EQ(f.width, 8u * packets[0].payload[6]);
    EXPECT_EQ(f.height, 8u * packets[0].payload[7]);
    EXPECT_EQ(f.sizeClass, SizeClass(f.width, f.height));
    EXPECT_EQ(f.allocatedType, kTypeJPEG);
  }
  EXPECT_EQ(got, sizes);
  for (const Check& k : checks) {
    const Bytes& d = h.frames.at(0).data;
    const size_t at = k.at < 0 ? d.size() - size_t(-k.at) : size_t(k.at);
    EXPECT_EQ(Bytes(d.begin() + long(at), d.begin() + long(at + k.bytes.size())), k.bytes)
        << "at " << k.at;
  }
  for (const auto& d : drops) EXPECT_EQ(p.DropCount(d.first), d.second) << "reason " << d.first;
  EXPECT_EQ(h.allocator.outstanding, 0);
  EXPECT_TRUE(h.allocator.guardsIntact);
  return h.frames;
}

TEST(JpegParser, PacketSequencesGiveTheirPictures) {
  // Q 50: the example tables in zig-zag order.
  const Bytes luma = {16, 11, 12,  14,  12,  10, 16, 14,  13,  14,  18,  17,  16, 19,  24,  40,
                      26, 24, 22,  22,  24,  49, 35, 37,  29,  40,  58,  51,  61, 60,  57,  51,
                      56, 55, 64,  72,  92,  78, 64, 68,  87,  69,  55,  56,  80, 109, 81,  87,
                      95, 98, 103, 104, 103, 62, 77, 113, 121, 112, 100, 120, 92, 101, 103, 99};
  const Bytes chroma =
      Cat({{17, 18, 18, 24, 21, 24, 47, 26, 26, 47, 99, 66, 56, 66}, Bytes(50, 99)});
  // Both tables, SOF0 with 480 by 640 and type 1's 2x2, SOS, then the scan.
  const auto three =
      Expect("three packets, headers rebuilt",
             {Packet(Cat({MainHeader(1, 50, 80, 60), Bytes(1000, 0x11)}), 1, false),
              Packet(Cat({MainHeader(1, 50, 80, 60, 1000), Bytes(1000, 0x22)}), 2, false),
              Packet(Cat({MainHeader(1, 50, 80, 60, 2000), Bytes(500, 0x33)}), 3, true)},
             {605 + 2500},
             {At(0, {0xFF, 0xD8}), At(7, luma), At(76, chroma), At(140, {0xFF, 0xC0}),
              At(145, {0x01, 0xE0, 0x02, 0x80}), At(151, {0x22}), At(591, {0xFF, 0xDA}),
              At(605, {0x11}), At(1605, {0x22}), At(-1, {0x33})});
  EXPECT_EQ(three.at(0).capacity, 8u + 2500u + 1024u);
  Bytes tables(128);
  for (size_t i = 0; i < 128; ++i) tables[i] = uint8_t(i + 1);
  const Bytes first(tables.begin(), tables.begin() + 64), second(tables.begin() + 64, tables.end());
  // Type 0 is 2x1.
  Expect("two tables in band",
         {Packet(Cat({MainHeader(0, 255, 40, 30), {0, 0, 0, 128}, tables, {0xAB, 0xCD}}), 1, true)},
         {607}, {At(7, first), At(76, second), At(151, {0x21}), At(605, {0xAB, 0xCD})});
  const Bytes restart = {0x00, 0x14, 0xFF, 0xFF};
  Expect("restart marker header gives DRI and is not scan data",
         {Packet(Cat({MainHeader(65, 50, 40, 30), restart, {1, 2}}), 1, false),
          Packet(Cat({MainHeader(65, 50, 40, 30, 2), restart, {3, 4}}), 2, true)},
         {605 + 6 + 4},
         {At(591, {0xFF, 0xDD, 0, 4, 0x00, 0x14}), At(-4, {1, 2, 3, 4}), At(151, {0x22})});

  // A first packet shorter than its own headers must not build a picture
  // from bytes beyond the frame, nor may later packets stand in for them.
  const TestPacket rest = Packet(Cat({MainHeader(1, 255, 40, 30, 140), Bytes(400, 2)}), 2, true);
  for (const Bytes& bad :
       {Bytes{0, 0, 0, 0, 1}, Cat({MainHeader(1, 255, 40, 30), {0, 0, 0, 128}, Bytes(100, 1)}),
        Cat({MainHeader(1, 255, 40, 30), {0, 0, 0, 32}, Bytes(140, 1)}),
        Cat({MainHeader(1, 255, 40, 30), {0, 0xFF, 0, 128}, Bytes(140, 1)}),
        Cat({MainHeader(64, 50, 40, 30), {0, 1}}), Cat({MainHeader(1, 50, 0, 30), {1, 2}})}) {
    Expect("headers cut short or without a size", {Packet(bad, 1, true)}, {}, {},
           {{kDropMalformed, 1}});
    Expect("headers split", {Packet(bad, 1, false), rest}, {}, {}, {{kDropMalformed, 1}});
  }
  std::vector<TestPacket> badPadding = {Part(0, {1, 2, 200}, 1, false), Part(2, {3}, 2, true)};
  badPadding[0].padding = true;
  Expect("padding count runs past the first packet", badPadding, {}, {}, {{kDropMalformed, 1}});
  Expect("lost middle, then a whole picture",
         {Part(0, {1}, 1, false), Part(2, {3}, 301, true), Part(0, {9}, 302, true)}, {606},
         {At(-1, {9})}, {{kDropSequenceGap, 1}});
  std::vector<TestPacket> oversized(10, Part(1, Bytes(60000, 7), 0, false));
  oversized[0] = Part(0, Bytes(60000, 7), 0, false);
  oversized.push_back(Part(2, {1}, 0, true));
  oversized.push_back(Part(0, {2}, 0, true));
  Number(&oversized, 1);
  Expect("oversized, then a whole picture", oversized, {606}, {At(-1, {2})}, {{kDropOversize, 1}});
  Expect("short continuations add nothing, refusal changes nothing",
         {Part(0, {1}, 1, false), Part(1, {}, 2, false), Packet({0, 0, 0}, 3, false),
          Part(1, {2}, 4, true), Part(0, {3}, 5, true)},
         {607, 606}, {At(-2, {1, 2})}, {}, 2);
}

}  // namespace
}  // namespace test
}  // namespace quenlix
