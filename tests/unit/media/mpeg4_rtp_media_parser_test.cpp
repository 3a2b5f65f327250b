#include "media/mpeg4_rtp_media_parser.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "media/sample_contract.h"
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

const Bytes kKey = Cat({kConfig, kIVop});

// Every frame the client is given, their types, and the drop counts named.
void Expect(const char* name, CMpeg4RTPMediaParser::ParseMpegHeaderFn reader,
            const std::vector<TestPacket>& packets, const std::vector<Bytes>& want,
            const std::vector<uint32_t>& types,
            const std::vector<std::pair<DropReason, uint32_t>>& drops = {}, size_t refuse = 0) {
  SCOPED_TRACE(name);
  Host h;
  h.refuse = refuse;
  CMpeg4RTPMediaParser p(&h.driver, kSampleSourceName, reader);
  p.SetClient(&h);
  Feed(p, packets);
  EXPECT_EQ(h.Data(), want);
  std::vector<uint32_t> got;
  for (const DeliveredFrame& f : h.frames) {
    got.push_back(f.type);
    EXPECT_EQ(f.capacity, 4096u);
    if (f.type != kTypeDIVX) continue;
    EXPECT_EQ(f.width, 704u);
    EXPECT_EQ(f.height, 288u);
  }
  EXPECT_EQ(got, types);
  for (const auto& d : drops) EXPECT_EQ(p.DropCount(d.first), d.second) << "reason " << d.first;
  // One time stamp throughout: each marker ends a frame, and every frame not
  // taken by the client counts as dropped.
  size_t ended = 0;
  for (const TestPacket& t : packets) ended += t.marker;
  EXPECT_EQ(p.GetReceptionCounts().framesDropped,
            ended - h.frames.size() + std::min(refuse, h.frames.size()));
  if (reader == &FixedSize) {
    EXPECT_EQ(p.GetConfig(), kConfig);
  }
}

TEST(Mpeg4Parser, PacketSequencesGiveTheirFrames) {
  Expect("config kept and put before every intra VOP", &FixedSize,
         {Packet(kKey, 1, true), Packet(kPVop, 2, true), Packet(kIVop, 3, false),
          Packet({7, 7}, 4, true)},
         {kKey, kPVop, Cat({kKey, {7, 7}})}, {kTypeDIVX, kTypeDIVI, kTypeDIVX});
  // B6 would start at offset 5: not there.
  Expect("config without a VOP start leaves the stored config", &FixedSize,
         {Packet(kKey, 1, true), Packet({0, 0, 1, 0xB0, 0x02, 0, 0, 1}, 2, false)}, {kKey},
         {kTypeDIVX});
  Expect("P VOPs while discarding are dropped, marker included; a gap costs the P frames",
         &FixedSize,
         {Packet(kPVop, 1, true), Packet({1, 2}, 2, true), Packet(kKey, 3, true),
          Packet(kPVop, 4, false), Packet({1}, 1000, true), Packet(kPVop, 1001, true),
          Packet(kIVop, 1002, true)},
         {kKey, kKey}, {kTypeDIVX, kTypeDIVX}, {{kDropSequenceGap, 1}});
  Expect("a VOP start throws away what the frame held", &FixedSize,
         {Packet(kKey, 1, false), Packet({9, 9, 9}, 2, false), Packet(kPVop, 3, true)}, {kPVop},
         {kTypeDIVI});
  const std::vector<TestPacket> keyPKey = {Packet(kKey, 1, true), Packet(kPVop, 2, true),
                                           Packet(kIVop, 3, true)};
  for (auto reader : {CMpeg4RTPMediaParser::ParseMpegHeaderFn(nullptr), &Fails}) {
    Expect("no working header reader", reader, keyPKey, {}, {},
           {{kDropNoParameterSets, 2}, {kDropNoKeyFrame, 1}});
  }
  Expect("refused sample: discards until the next intra VOP", &FixedSize, keyPKey, {kKey, kKey},
         {kTypeDIVX, kTypeDIVX}, {{kDropNoKeyFrame, 1}}, 1);
}

}  // namespace
}  // namespace test
}  // namespace quenlix
