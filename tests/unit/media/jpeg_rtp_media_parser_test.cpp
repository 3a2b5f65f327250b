#include "media/jpeg_rtp_media_parser.h"

#include <gtest/gtest.h>

#include "media/jpeg_headers.h"
#include "media/sample_contract.h"
#include "media_fakes.h"
#include "media_test_util.h"

namespace quenlix {
namespace test {
namespace {

Bytes MainHeader(uint8_t type, uint8_t q, uint8_t w8, uint8_t h8, uint32_t offset = 0) {
  return {0, uint8_t(offset >> 16), uint8_t(offset >> 8), uint8_t(offset), type, q, w8, h8};
}

struct JpegFixture : ::testing::Test {
  JpegFixture() { parser.SetClient(&host.client); }
  Host host;
  CJpegRTPMediaParser parser{&host.driver, kSampleSourceName};
};

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
  uint8_t luma[64], chroma[64];
  CJpegHeaders::ComputeTables(50, luma, chroma);
  EXPECT_EQ(luma[1], 11);  // natural (0,1)
  EXPECT_EQ(luma[2], 12);  // natural (1,0): zig-zag order
}

TEST_F(JpegFixture, ThreePacketsMakeOnePictureWithRebuiltHeaders) {
  std::vector<TestPacket> packets = {
      Packet(Cat({MainHeader(1, 50, 80, 60), Bytes(1000, 0x11)}), 1, false),
      Packet(Cat({MainHeader(1, 50, 80, 60, 1000), Bytes(1000, 0x22)}), 2, false),
      Packet(Cat({MainHeader(1, 50, 80, 60, 2000), Bytes(500, 0x33)}), 3, true)};
  Feed(parser, packets);
  ASSERT_EQ(host.client.frames.size(), 1u);
  const DeliveredFrame& f = host.client.frames[0];
  ASSERT_EQ(f.data.size(), 605u + 2500u);
  EXPECT_EQ(f.allocatedType, kTypeJPEG);
  EXPECT_EQ(f.capacity, 8u + 2500u + 1024u);
  EXPECT_EQ(f.width, 640u);
  EXPECT_EQ(f.height, 480u);
  EXPECT_EQ(f.sizeClass, 4u);
  EXPECT_EQ(f.data[0], 0xFF);
  EXPECT_EQ(f.data[1], 0xD8);
  EXPECT_EQ(f.data[140], 0xFF);
  EXPECT_EQ(f.data[141], 0xC0);
  EXPECT_EQ(f.data[140 + 5], 480 >> 8);
  EXPECT_EQ(f.data[140 + 7], 640 >> 8);
  EXPECT_EQ(f.data[140 + 11], 0x22);  // type 1: 2x2
  EXPECT_EQ(f.data[591], 0xFF);
  EXPECT_EQ(f.data[592], 0xDA);
  EXPECT_EQ(f.data[605], 0x11);
  EXPECT_EQ(f.data[605 + 1000], 0x22);
  EXPECT_EQ(f.data.back(), 0x33);
}

// Two tables, or one that all components share.
TEST(JpegInBandTables, AreCopiedAndScanStartsAfterThem) {
  Bytes tables(128);
  for (size_t i = 0; i < 128; ++i) tables[i] = uint8_t(i + 1);
  const Bytes first(tables.begin(), tables.begin() + 64);
  const Bytes second(tables.begin() + 64, tables.end());
  struct Case {
    uint8_t length;
    const Bytes& chroma;
  };
  for (const Case& c : {Case{128, second}, Case{64, first}}) {
    SCOPED_TRACE(int(c.length));
    Host h;
    CJpegRTPMediaParser p(&h.driver, kSampleSourceName);
    p.SetClient(&h.client);
    const Bytes sent(tables.begin(), tables.begin() + c.length);
    Feed(p, {Packet(Cat({MainHeader(0, 255, 40, 30), {0, 0, 0, c.length}, sent, {0xAB, 0xCD}}), 1,
                    true)});
    ASSERT_EQ(h.client.frames.size(), 1u);
    const Bytes& d = h.client.frames[0].data;
    ASSERT_EQ(d.size(), 607u);
    EXPECT_EQ(Bytes(d.begin() + 7, d.begin() + 71), first);
    EXPECT_EQ(Bytes(d.begin() + 76, d.begin() + 140), c.chroma);
    EXPECT_EQ(d[140 + 11], 0x21);  // type 0: 2x1
    EXPECT_EQ(d[605], 0xAB);
  }
}

TEST_F(JpegFixture, RestartMarkerHeaderGivesDriAndIsNotScanData) {
  const Bytes restart = {0x00, 0x14, 0xFF, 0xFF};
  Feed(parser, {Packet(Cat({MainHeader(65, 50, 40, 30), restart, {1, 2}}), 1, false),
                Packet(Cat({MainHeader(65, 50, 40, 30, 2), restart, {3, 4}}), 2, true)});
  ASSERT_EQ(host.client.frames.size(), 1u);
  const Bytes& d = host.client.frames[0].data;
  ASSERT_EQ(d.size(), 605u + 6u + 4u);
  EXPECT_EQ(Bytes(d.begin() + 591, d.begin() + 597), Bytes({0xFF, 0xDD, 0, 4, 0x00, 0x14}));
  EXPECT_EQ(Bytes(d.end() - 4, d.end()), Bytes({1, 2, 3, 4}));
  EXPECT_EQ(d[140 + 11], 0x22);  // type 65 is type 1 with restart markers
}

// A first packet shorter than its own headers must not build a picture
// from bytes beyond the frame.
TEST_F(JpegFixture, FirstPacketShorterThanItsHeadersOrWithoutSizeIsDropped) {
  struct Case {
    const char* name;
    Bytes payload;
  };
  const Case cases[] = {
      {"under 8 bytes", {0, 0, 0, 0, 1}},
      {"in-band tables cut short",
       Cat({MainHeader(1, 255, 40, 30), {0, 0, 0, 128}, Bytes(100, 1)})},
      {"table length under 64", Cat({MainHeader(1, 255, 40, 30), {0, 0, 0, 32}, Bytes(140, 1)})},
      {"16-bit tables", Cat({MainHeader(1, 255, 40, 30), {0, 0xFF, 0, 128}, Bytes(140, 1)})},
      {"restart header cut short", Cat({MainHeader(64, 50, 40, 30), {0, 1}})},
      {"zero width", Cat({MainHeader(1, 50, 0, 30), {1, 2}})},
  };
  uint16_t seq = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Feed(parser, {Packet(c.payload, seq++, true)});
    EXPECT_TRUE(host.client.frames.empty());
    EXPECT_EQ(host.allocator.outstanding, 0);
    EXPECT_EQ(parser.DropCount(kDropMalformed), uint32_t(seq - 1));
  }
  // Nor may later packets of the frame stand in for the missing headers.
  const Case split[] = {
      {"main header split", {0, 0, 0, 0, 1}},
      {"tables split", Cat({MainHeader(1, 255, 40, 30), {0, 0, 0, 128}, Bytes(100, 1)})},
      {"restart header split", Cat({MainHeader(64, 50, 40, 30), {0, 1}})},
  };
  for (const Case& c : split) {
    SCOPED_TRACE(c.name);
    Feed(parser, {Packet(c.payload, seq++, false),
                  Packet(Cat({MainHeader(1, 255, 40, 30, 140), Bytes(400, 2)}), seq++, true)});
    EXPECT_TRUE(host.client.frames.empty());
    EXPECT_EQ(host.allocator.outstanding, 0);
  }
  // A first packet whose padding count runs past it drops its frame.
  TestPacket badPadding = Packet(Cat({MainHeader(1, 50, 40, 30), {1, 2, 200}}), seq++, false);
  badPadding.padding = true;
  const uint32_t malformed = parser.DropCount(kDropMalformed);
  Feed(parser, {badPadding, Packet(Cat({MainHeader(1, 50, 40, 30, 2), {3}}), seq++, true)});
  EXPECT_TRUE(host.client.frames.empty());
  EXPECT_EQ(parser.DropCount(kDropMalformed), malformed + 1);
  // A picture whose middle was lost is dropped, and the loss is named.
  Feed(parser, {Packet(Cat({MainHeader(1, 50, 40, 30), {1}}), seq, false),
                Packet(Cat({MainHeader(1, 50, 40, 30, 2), {3}}), uint16_t(seq + 300), true)});
  seq = uint16_t(seq + 301);
  EXPECT_TRUE(host.client.frames.empty());
  EXPECT_EQ(parser.DropCount(kDropSequenceGap), 1u);
  // The parser is not stuck: the next good frame goes through.
  Feed(parser, {Packet(Cat({MainHeader(1, 50, 40, 30), {9}}), seq++, true)});
  EXPECT_EQ(host.client.frames.size(), 1u);
  EXPECT_TRUE(host.allocator.guardsIntact);
}

TEST_F(JpegFixture, OversizedFrameIsDroppedAndTheNextOneDelivered) {
  std::vector<TestPacket> packets;
  uint16_t seq = 1;
  packets.push_back(Packet(Cat({MainHeader(1, 50, 40, 30), Bytes(60000, 7)}), seq++, false));
  for (int i = 0; i < 9; ++i) {
    packets.push_back(Packet(Cat({MainHeader(1, 50, 40, 30, 1), Bytes(60000, 7)}), seq++, false));
  }
  packets.push_back(Packet(Cat({MainHeader(1, 50, 40, 30, 2), {1}}), seq++, true));
  packets.push_back(Packet(Cat({MainHeader(1, 50, 40, 30), {2}}), seq++, true));
  Feed(parser, packets);
  ASSERT_EQ(host.client.frames.size(), 1u);
  EXPECT_EQ(host.client.frames[0].data.size(), 606u);
  EXPECT_EQ(parser.DropCount(kDropOversize), 1u);
}

TEST_F(JpegFixture, ShortContinuationsAddNothingAndRefusalChangesNothing) {
  host.client.accept = false;
  Feed(parser, {Packet(Cat({MainHeader(1, 50, 40, 30), {1}}), 1, false),
                Packet(MainHeader(1, 50, 40, 30, 1), 2, false), Packet({0, 0, 0}, 3, false),
                Packet(Cat({MainHeader(1, 50, 40, 30, 1), {2}}), 4, true),
                Packet(Cat({MainHeader(1, 50, 40, 30), {3}}), 5, true)});
  ASSERT_EQ(host.client.frames.size(), 2u);
  EXPECT_EQ(host.client.frames[0].data.size(), 607u);
}

// ---- Round trips on encoded clips -------------------------------------------

// The decoder is the build machine's ffmpeg, which a Windows build of the
// tests cannot start.
#if QUENLIX_TEST_DECODER && QUENLIX_TEST_WITH_CAMSIM
TEST(JpegRoundTrip, PicturesDecodeToTheSourcePictures) {
  struct Case {
    const char* file;
    uint8_t q;
    size_t mtu;
    uint32_t width, height;
  };
  const Case cases[] = {
      {"jpeg_q76_420.mjpeg", 76, 1400, 320, 240},          // tables rebuilt from Q
      {"jpeg_inband_320x240.mjpeg", 255, 1000, 320, 240},  // tables in band
      {"jpeg_restart_640x480.mjpeg", 200, 700, 640, 480},  // restart markers, tables in band
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::vector<Bytes> pictures = SplitJpegs(ReadFile(MediaPath(c.file)));
    ASSERT_GE(pictures.size(), 10u);
    Host h;
    CJpegRTPMediaParser p(&h.driver, kSampleSourceName);
    p.SetClient(&h.client);
    std::vector<TestPacket> packets;
    for (size_t i = 0; i < pictures.size(); ++i) {
      ASSERT_TRUE(PacketizeJpeg(pictures[i], c.q, c.mtu, uint32_t(i * 7500), &packets));
    }
    ASSERT_EQ(packets[0].payload[5], c.q);
    const bool restart = std::string(c.file).find("restart") != std::string::npos;
    EXPECT_EQ((packets[0].payload[4] & 64) != 0, restart);  // the type's restart flag
    Number(&packets, 65530);
    Feed(p, packets);
    ASSERT_EQ(h.client.frames.size(), pictures.size());
    for (size_t i : {size_t(0), pictures.size() / 2, pictures.size() - 1}) {
      const Bytes want = DecodeWithFfmpeg(pictures[i], "mjpeg", "src");
      const Bytes got = DecodeWithFfmpeg(h.client.frames[i].data, "mjpeg", "out");
      ASSERT_FALSE(want.empty());
      EXPECT_TRUE(got == want) << "picture " << i << " decodes differently";
      EXPECT_EQ(h.client.frames[i].width, c.width);
      EXPECT_EQ(h.client.frames[i].height, c.height);
    }
  }
}
#endif  // QUENLIX_TEST_DECODER && QUENLIX_TEST_WITH_CAMSIM

}  // namespace
}  // namespace test
}  // namespace quenlix
