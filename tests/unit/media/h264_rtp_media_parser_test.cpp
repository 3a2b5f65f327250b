#include "media/h264_rtp_media_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "media/h264_sps_writer.h"
#include "media/sample_contract.h"
#include "media_test_util.h"

namespace quenlix {
namespace test {
namespace {

const Bytes kSc = {0, 0, 1};
const Bytes kTrailer = {0, 0, 1, 9, 0x30};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x21, 0xA0};
const Bytes kSlice = {0x41, 0x9A, 0x02, 0x03};
const Bytes kSps = CH264SpsWriter::BuildSps(320, 240);
const Bytes kPps = CH264SpsWriter::FixedPps();
const Bytes kKeyFrame = Cat({kSc, kSps, kSc, kPps, kSc, kIdr, kTrailer});

enum Sets { kNone, kGood, kUnreadable };  // handed over by the session
using Drops = std::vector<std::pair<DropReason, uint32_t>>;

// Packets numbered from 1, the marker on the last.
std::vector<TestPacket> Picture(std::vector<Bytes> payloads, uint32_t ts = 9000) {
  std::vector<TestPacket> out;
  for (Bytes& p : payloads) out.push_back(Packet(std::move(p), 0, false, ts));
  out.back().marker = true;
  Number(&out, 1);
  return out;
}

// A key frame, a picture of the given payloads, then a P picture and a key
// frame that show whether the parser went back to waiting.
std::vector<TestPacket> Between(std::vector<Bytes> middle) {
  std::vector<TestPacket> out = Picture({kSps, kPps, kIdr});
  for (Bytes& p : middle) out.push_back(Packet(std::move(p), 0, false, 12600));
  out.back().marker = true;
  out.push_back(Packet(kSlice, 0, true, 16200));
  for (const TestPacket& p : Picture({kSps, kPps, kIdr}, 19800)) out.push_back(p);
  Number(&out, 1);
  return out;
}

// Every frame the client is given, and the drop counts named. Returns the
// frames.
std::vector<DeliveredFrame> Expect(const char* name, Sets sets,
                                   const std::vector<TestPacket>& packets,
                                   const std::vector<Bytes>& want, const Drops& drops = {},
                                   size_t refuse = 0) {
  SCOPED_TRACE(name);
  Host h;
  h.resolution = {1920, 1080};
  h.refuse = refuse;
  CH264RTPMediaParser p(&h.driver, kSampleSourceName);
  p.SetClient(&h);
  p.Reset();
  if (sets == kGood) p.SetParameterSets(kSps, kPps);
  if (sets == kUnreadable) p.SetParameterSets({0x67, 0xFF}, {0x68, 0xCE});
  Feed(p, packets);
  EXPECT_EQ(h.Data(), want);
  for (const auto& d : drops) EXPECT_EQ(p.DropCount(d.first), d.second) << "reason " << d.first;
  for (const DeliveredFrame& f : h.frames) {
    bool idr = false;  // a start code, then NAL unit type 5
    for (auto at = f.data.begin();
         (at = std::search(at, f.data.end(), kSc.begin(), kSc.end())) != f.data.end();)
      idr |= (at += 3) != f.data.end() && (*at & 0x1F) == 5;
    EXPECT_EQ(f.type, idr ? kTypeH264 : kTypeI264);
    EXPECT_EQ(f.width, sets == kUnreadable ? 1920u : 320u);
    EXPECT_EQ(f.height, sets == kUnreadable ? 1088u : 240u);  // coded size, not cropped
    EXPECT_EQ(f.allocatedType, f.type);
    EXPECT_EQ(f.capacity, 4096u + 40960u);
  }
  return h.frames;
}

TEST(H264Parser, PacketSequencesGiveTheirFramesAndDrops) {
  const std::vector<Bytes> keyKey = {kKeyFrame, kKeyFrame};
  Expect("key frame without its SPS, then a P picture while waiting", kNone,
         {Packet(kIdr, 1, true), Packet(kSlice, 2, true), Packet(kSps, 3, false),
          Packet(kPps, 4, false), Packet(kIdr, 5, true)},
         {kKeyFrame}, {{kDropNoParameterSets, 1}, {kDropNoKeyFrame, 1}});

  // Fragments that cannot make a whole NAL unit drop their picture even when
  // no sequence number is missing.
  const Bytes start = {0x7C, 0x81, 1}, middle = {0x7C, 0x01, 2}, end = {0x7C, 0x41, 3};
  Expect(
      "whole fragments", kGood, Between({start, middle, end}),
      {kKeyFrame, Cat({kSc, {0x61, 1, 2, 3}, kTrailer}), Cat({kSc, kSlice, kTrailer}), kKeyFrame},
      {{kDropMalformed, 0}});
  Expect("fragments without their start", kGood, Between({middle, end}), keyKey,
         {{kDropMalformed, 0}});
  Expect("second start", kGood, Between({start, start, end}), keyKey, {{kDropMalformed, 1}});
  Expect("marker before the end", kGood, Between({start, middle}), keyKey, {{kDropMalformed, 1}});
  Expect("next NAL unit before the end", kGood, Between({start, kSlice}), keyKey,
         {{kDropMalformed, 1}});

  Bytes longIdr(300, 0x11);
  longIdr[0] = 0x65;
  const Bytes stap = Cat({Bytes({24, 0, uint8_t(kSps.size())}), kSps,
                          Bytes({0, uint8_t(kPps.size())}), kPps, Bytes({1, 300 - 256}), longIdr});
  Expect("STAP-A of both sets and a long slice", kNone, Picture({stap}),
         {Cat({kSc, kSps, kSc, kPps, kSc, longIdr, kTrailer})});
  // A bad size drops the packet whole rather than read past it or keep half.
  for (const Bytes& bad : std::vector<Bytes>{{24, 0, 9, 0x67, 0x42},
                                             {24, 0, 1, 0x67, 0, 200, 0x68},
                                             {24, 0, 1, 0x67, 0},
                                             {24, 0, 0, 0, 1, 0x68},
                                             {24, 0, 1}}) {
    Expect("malformed STAP-A", kNone, Between({bad}), keyKey, {{kDropMalformed, 1}});
  }
  for (uint8_t type : {0, 25, 26, 27, 29, 30, 31}) {
    Expect("unhandled payload structure", kNone, Between({{type, 1, 2, 3}, kSlice}), keyKey,
           {{kDropUnsupportedPayload, 1}, {kDropNoKeyFrame, 2}});
  }

  const Bytes idrStart = {0x7C, 0x85, 1, 2}, idrEnd = {0x7C, 0x45, 3, 4};
  const Bytes idrFromFu = {0x65, 1, 2, 3, 4};
  Expect("FU-A with no sets and no size", kNone, Picture({idrStart, idrEnd}), {},
         {{kDropNoParameterSets, 2}});
  Expect("unreadable session sets: synthesized from the size asked for", kUnreadable,
         Picture({idrStart, idrEnd}),
         {Cat({kSc, CH264SpsWriter::BuildSps(1920, 1080), kSc, kPps, kSc, idrFromFu, kTrailer})});
  Expect("only an IDR start with the end bit clear gets the sets", kGood,
         {Packet({0x7C, 0xC5, 7, 8}, 1, true), Packet(kSps, 2, false),
          Packet({0x7C, 0xC5, 7, 8}, 3, true)},
         {Cat({kSc, kSps, kSc, {0x65, 7, 8}, kTrailer})}, {{kDropNoParameterSets, 1}});
  Expect("refused sample: discards until the next key packet", kNone, Between({}), keyKey, {}, 1);
  std::vector<Bytes> oversized(36, Bytes(60000, 0x11));  // > 2 MiB
  for (Bytes& p : oversized) p[0] = 0x41;
  Expect("oversized frame", kNone, Between(oversized), keyKey, {{kDropOversize, 1}});
  std::vector<TestPacket> padded = Picture({kSps, kPps, Cat({kIdr, {0, 0, 3}})});
  padded[2].padding = true;
  Expect("padding is not part of the frame", kNone, padded, {kKeyFrame});

  // Pictures as encoders and cameras lay them out: which come out after a
  // (re)start, with and without the session's sets.
  const Bytes aud = {0x09, 0xF0};
  // The gaps are wider than the reordering window: loss at once.
  Expect("loss inside a unit: its later key packets do not count", kGood,
         {Packet(aud, 1, false, 100), Packet(kSps, 2, false, 100), Packet(kIdr, 204, true, 100),
          Packet(aud, 205, false, 200), Packet(kSps, 206, false, 200),
          Packet(kPps, 207, false, 200), Packet(kIdr, 208, true, 200)},
         {kKeyFrame});
  Expect("loss at a unit's head: its key packets do not count", kGood,
         {Packet(aud, 1, false, 100), Packet(kSps, 203, false, 200), Packet(kPps, 204, false, 200),
          Packet(kIdr, 205, true, 200), Packet(kSps, 206, false, 300),
          Packet(kPps, 207, false, 300), Packet(kIdr, 208, true, 300)},
         {kKeyFrame});
  Expect("an IDR picture of two FU-A slices gets the session's sets once", kGood,
         Picture({idrStart, idrEnd, idrStart, idrEnd}),
         {Cat({kSc, kSps, kSc, kPps, kSc, idrFromFu, kSc, idrFromFu, kTrailer})});
  Expect("no sets anywhere: FU-A pictures stay refused", kNone, Picture({aud, idrStart, idrEnd}),
         {});
}

// The session description's sets arrive on the channel's worker while the
// receive thread may already parse: every picture must carry one whole pair
// of sets and the size read from that pair, never a mix of two hand-overs.
TEST(H264Parser, SetsHandedOverWhileParsingStayWhole) {
  Host host;
  CH264RTPMediaParser parser(&host.driver, kSampleSourceName);
  parser.SetClient(&host);
  const Bytes large = CH264SpsWriter::BuildSps(640, 480);
  parser.SetParameterSets(kSps, kPps);
  constexpr int kPictures = 500;
  std::atomic<int> parsed{0};
  std::thread receiver([&] {
    for (uint16_t seq = 0; parsed < kPictures; seq = uint16_t(seq + 2), ++parsed) {
      Feed(parser,
           {Packet({0x7C, 0x85, 1}, seq, false), Packet({0x7C, 0x45, 2}, uint16_t(seq + 1), true)});
    }
  });
  for (int i = 0; parsed < kPictures; ++i) parser.SetParameterSets(i % 2 ? kSps : large, kPps);
  receiver.join();
  ASSERT_EQ(host.frames.size(), size_t(kPictures));
  for (const DeliveredFrame& f : host.frames) {
    const bool isLarge = f.width == 640;
    ASSERT_EQ(f.data, Cat({kSc, isLarge ? large : kSps, kSc, kPps, kSc, {0x65, 1, 2}, kTrailer}));
    ASSERT_EQ(f.height, isLarge ? 480u : 240u);
  }
}

}  // namespace
}  // namespace test
}  // namespace quenlix
