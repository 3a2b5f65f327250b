#include "media/mpeg4_rtp_media_parser.h"

#include <gtest/gtest.h>

#include "media/sample_contract.h"
#include "media_fakes.h"
#include "media_test_util.h"

namespace quenlix {
namespace test {
namespace {

const Bytes kConfig = {0, 0, 1, 0xB0, 0x01, 0, 0, 1, 0xB5, 0x09, 0, 0, 1, 0x20, 0x08};
const Bytes kIVop = {0, 0, 1, 0xB6, 0x10, 0x20};  // coding type 00
const Bytes kPVop = {0, 0, 1, 0xB6, 0x50, 0x21};  // coding type 01

int32_t QUENLIX_STDCALL FixedSize(const uint8_t*, uint32_t, uint32_t* w, uint32_t* h) {
  *w = 704;
  *h = 288;
  return 1;
}
int32_t QUENLIX_STDCALL Fails(const uint8_t*, uint32_t, uint32_t*, uint32_t*) { return 0; }

struct Mpeg4Fixture : ::testing::Test {
  Mpeg4Fixture() { parser.SetClient(&host.client); }
  Host host;
  CMpeg4RTPMediaParser parser{&host.driver, kSampleSourceName, &FixedSize};
};

TEST_F(Mpeg4Fixture, ConfigIsKeptAndPutBeforeEveryIntraVop) {
  Feed(parser, {Packet(Cat({kConfig, kIVop}), 1, true), Packet(kPVop, 2, true),
                Packet(kIVop, 3, false), Packet({7, 7}, 4, true)});
  EXPECT_EQ(parser.GetConfig(), kConfig);
  ASSERT_EQ(host.client.frames.size(), 3u);
  EXPECT_EQ(host.client.frames[0].data, Cat({kConfig, kIVop}));
  EXPECT_EQ(host.client.frames[0].type, kTypeDIVX);
  EXPECT_EQ(host.client.frames[0].width, 704u);
  EXPECT_EQ(host.client.frames[0].sizeClass, 3u);
  EXPECT_EQ(host.client.frames[0].capacity, 4096u);
  EXPECT_EQ(host.client.frames[1].data, kPVop);
  EXPECT_EQ(host.client.frames[1].type, kTypeDIVI);
  EXPECT_EQ(host.client.frames[2].data, Cat({kConfig, kIVop, {7, 7}}));
  EXPECT_EQ(host.client.frames[2].type, kTypeDIVX);
}

TEST_F(Mpeg4Fixture, ConfigWithoutVopStartLeavesStoredConfig) {
  Feed(parser, {Packet(Cat({kConfig, kIVop}), 1, true)});
  const Bytes other = {0, 0, 1, 0xB0, 0x02, 0, 0, 1};  // B6 would start at offset 5: not there
  Feed(parser, {Packet(other, 2, true)});
  EXPECT_EQ(parser.GetConfig(), kConfig);
}

TEST_F(Mpeg4Fixture, PVopWhileDiscardingIsDroppedMarkerIncluded) {
  Feed(parser, {Packet(kPVop, 1, true), Packet({1, 2}, 2, true)});
  EXPECT_TRUE(host.client.frames.empty());
  Feed(parser, {Packet(Cat({kConfig, kIVop}), 3, true), Packet(kPVop, 4, false),
                // 5 to 999 lost: the P frame and the next one go
                Packet({1}, 1000, true), Packet(kPVop, 1001, true), Packet(kIVop, 1002, true)});
  ASSERT_EQ(host.client.frames.size(), 2u);
  EXPECT_EQ(host.client.frames[1].data, Cat({kConfig, kIVop}));
  EXPECT_EQ(parser.DropCount(kDropSequenceGap), 1u);
}

TEST_F(Mpeg4Fixture, VopStartThrowsAwayWhatTheFrameHeld) {
  Feed(parser, {Packet(Cat({kConfig, kIVop}), 1, false), Packet({9, 9, 9}, 2, false),
                Packet(kPVop, 3, true)});
  ASSERT_EQ(host.client.frames.size(), 1u);
  EXPECT_EQ(host.client.frames[0].data, kPVop);
  EXPECT_EQ(host.client.frames[0].type, kTypeDIVI);
}

TEST(Mpeg4Parser, KeyFramesNeedAWorkingHeaderReader) {
  for (CMpeg4RTPMediaParser::ParseMpegHeaderFn reader :
       {static_cast<CMpeg4RTPMediaParser::ParseMpegHeaderFn>(nullptr), &Fails}) {
    Host h;
    CMpeg4RTPMediaParser p(&h.driver, kSampleSourceName, reader);
    p.SetClient(&h.client);
    Feed(p,
         {Packet(Cat({kConfig, kIVop}), 1, true), Packet(kPVop, 2, true), Packet(kIVop, 3, true)});
    EXPECT_TRUE(h.client.frames.empty());
    EXPECT_EQ(p.DropCount(kDropNoParameterSets), 2u);
    EXPECT_EQ(p.DropCount(kDropNoKeyFrame), 1u);
  }
}

TEST(Mpeg4Parser, RefusedSampleDiscardsUntilNextIntraVop) {
  Host h;
  CMpeg4RTPMediaParser p(&h.driver, kSampleSourceName, &FixedSize);
  p.SetClient(&h.client);
  h.client.accept = false;
  Feed(p, {Packet(Cat({kConfig, kIVop}), 1, true)});
  h.client.accept = true;
  Feed(p, {Packet(kPVop, 2, true), Packet(kIVop, 3, true)});
  ASSERT_EQ(h.client.frames.size(), 2u);
  EXPECT_EQ(h.client.frames[1].type, kTypeDIVX);
}

#if QUENLIX_TEST_WITH_CAMSIM
// The real header library, found by name beside the test executable.
TEST(Mpeg4RoundTrip, ClipComesBackByteForByteThroughTheHeaderLibrary) {
  for (size_t mtu : {1400, 400}) {
    SCOPED_TRACE(mtu);
    camsim::Clip clip;
    std::string error;
    ASSERT_TRUE(camsim::LoadClip(MediaPath("mpeg4_352x288.m4v"), mtu, &clip, &error)) << error;
    const std::vector<Bytes> frames = FrameBytes(clip);
    ASSERT_GE(frames.size(), 10u);
    Host h;
    CMpeg4RTPMediaParser p(&h.driver, kSampleSourceName);
    ASSERT_TRUE(p.HasHeaderReader());
    p.SetClient(&h.client);
    std::vector<TestPacket> packets;
    for (size_t i = 0; i < frames.size(); ++i) {
      Append(clip.frames[i].packets, uint32_t(i * 7500), &packets);
    }
    Number(&packets, 65535);
    Feed(p, packets);
    ASSERT_EQ(h.client.frames.size(), frames.size());
    size_t keys = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(h.client.frames[i].data, frames[i]) << "frame " << i;
      const bool key = h.client.frames[i].type == kTypeDIVX;
      keys += key;
      EXPECT_EQ(key, i % 5 == 0);
      EXPECT_EQ(h.client.frames[i].width, 352u);
      EXPECT_EQ(h.client.frames[i].height, 288u);
    }
    EXPECT_EQ(keys, (frames.size() + 4) / 5);
  }
}

#endif  // QUENLIX_TEST_WITH_CAMSIM

}  // namespace
}  // namespace test
}  // namespace quenlix
