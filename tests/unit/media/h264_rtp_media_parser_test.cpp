#include "media/h264_rtp_media_parser.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "media/h264_sps_writer.h"
#include "media/sample_contract.h"
#include "media_fakes.h"
#include "media_test_util.h"

namespace quenlix {
namespace test {
namespace {

const Bytes kSc = {0, 0, 1};
const Bytes kTrailer = {0, 0, 1, 9, 0x30};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x21, 0xA0};
const Bytes kSlice = {0x41, 0x9A, 0x02, 0x03};

struct H264Fixture : ::testing::Test {
  H264Fixture() {
    parser.SetClient(&host.client);
    host.client.resolution = {320, 240};
  }
  Host host;
  CH264RTPMediaParser parser{&host.driver, kSampleSourceName};
  const Bytes sps = CH264SpsWriter::BuildSps(320, 240);
  const Bytes pps = CH264SpsWriter::FixedPps();
  // SPS, PPS and an IDR slice as single NAL units, then the marker.
  std::vector<TestPacket> KeyFrame(uint16_t seq) const {
    return {Packet(sps, seq, false), Packet(pps, uint16_t(seq + 1), false),
            Packet(kIdr, uint16_t(seq + 2), true)};
  }
};

TEST_F(H264Fixture, SingleNalKeyFrameBecomesAnnexBWithTrailer) {
  Feed(parser, KeyFrame(10));
  ASSERT_EQ(host.client.frames.size(), 1u);
  const DeliveredFrame& f = host.client.frames[0];
  EXPECT_EQ(f.data, Cat({kSc, sps, kSc, pps, kSc, kIdr, kTrailer}));
  EXPECT_EQ(f.type, kTypeH264);
  EXPECT_EQ(f.allocatedType, kTypeH264);
  EXPECT_EQ(f.capacity, 4096u + 40960u);
  EXPECT_EQ(f.source, "TavrikIPCapture");
  EXPECT_EQ(f.width, 320u);
  EXPECT_EQ(f.height, 240u);
  EXPECT_EQ(f.sizeClass, 2u);
  EXPECT_TRUE(f.timeSet);
  EXPECT_EQ(host.allocator.outstanding, 0);
}

TEST_F(H264Fixture, KeyFrameWithoutItsSpsIsDropped) {
  Feed(parser, {Packet(kIdr, 1, true)});
  EXPECT_TRUE(host.client.frames.empty());
  EXPECT_EQ(parser.DropCount(kDropNoParameterSets), 1u);
  // And the parser waits for the next key packet: a P slice yields nothing.
  Feed(parser, {Packet(kSlice, 2, true)});
  EXPECT_TRUE(host.client.frames.empty());
  EXPECT_EQ(parser.DropCount(kDropNoKeyFrame), 1u);
  Feed(parser, KeyFrame(3));
  EXPECT_EQ(host.client.frames.size(), 1u);
}

// Fragments that cannot make a whole NAL unit drop their picture even when
// no sequence number is missing, and the stream waits for the next key frame.
TEST_F(H264Fixture, BrokenFragmentDropsItsPictureUntilTheNextKeyFrame) {
  const Bytes start = {0x7C, 0x81, 1}, middle = {0x7C, 0x01, 2}, end = {0x7C, 0x41, 3};
  struct Case {
    const char* name;
    std::vector<Bytes> fragments;  // one P picture, the last with the marker
    size_t frames;                 // of: key, this picture, a whole P picture, key
    uint32_t malformed;            // a unit left with a hole is named as malformed
  };
  const Case cases[] = {
      {"whole", {start, middle, end}, 4, 0},
      {"without its start", {middle, end}, 2, 0},
      {"second start", {start, start, end}, 2, 1},
      {"marker before the end", {start, middle}, 2, 1},
      {"next NAL unit before the end", {start, kSlice}, 2, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Host h;
    CH264RTPMediaParser p(&h.driver, kSampleSourceName);
    p.SetClient(&h.client);
    p.SetParameterSets(sps, pps);
    std::vector<TestPacket> packets = KeyFrame(1);
    uint16_t seq = 4;
    for (size_t i = 0; i < c.fragments.size(); ++i) {
      packets.push_back(Packet(c.fragments[i], seq++, i + 1 == c.fragments.size(), 12600));
    }
    packets.push_back(Packet(kSlice, seq++, true, 16200));
    for (TestPacket k : KeyFrame(seq)) {
      k.timestamp = 19800;
      packets.push_back(k);
    }
    Feed(p, packets);
    EXPECT_EQ(h.client.frames.size(), c.frames);
    EXPECT_EQ(p.DropCount(kDropMalformed), c.malformed);
  }
}

TEST_F(H264Fixture, StapAWithParameterSetsBecomesTwoNalUnits) {
  Bytes stap = {24};
  for (const Bytes* nal : {&sps, &pps}) {
    stap.push_back(0);
    stap.push_back(uint8_t(nal->size()));
    stap.insert(stap.end(), nal->begin(), nal->end());
  }
  Feed(parser, {Packet(stap, 1, false), Packet(kIdr, 2, true)});
  ASSERT_EQ(host.client.frames.size(), 1u);
  EXPECT_EQ(host.client.frames[0].data, Cat({kSc, sps, kSc, pps, kSc, kIdr, kTrailer}));
}

// Every unit's size must fit the payload; a bad one drops the packet whole
// rather than reading past it or keeping half of it.
TEST_F(H264Fixture, MalformedStapAIsRejected) {
  struct Case {
    const char* name;
    Bytes payload;
  };
  const Case cases[] = {
      {"size runs past end", {24, 0, 9, 0x67, 0x42}},
      {"second size runs past end", {24, 0, 1, 0x67, 0, 200, 0x68}},
      {"odd byte after last unit", {24, 0, 1, 0x67, 0}},
      {"zero size", {24, 0, 0, 0, 1, 0x68}},
      {"too short", {24, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Host h;
    CH264RTPMediaParser p(&h.driver, kSampleSourceName);
    p.SetClient(&h.client);
    Feed(p, KeyFrame(1));
    ASSERT_EQ(h.client.frames.size(), 1u);
    // A bad STAP-A puts the parser back into waiting for a key packet.
    Feed(p, {Packet(c.payload, 4, false), Packet(kSlice, 5, true)});
    EXPECT_EQ(h.client.frames.size(), 1u);
    EXPECT_EQ(p.DropCount(kDropMalformed), 1u);
  }
}

TEST_F(H264Fixture, UnhandledPayloadStructuresCountAsFailures) {
  for (uint8_t type : {0, 25, 26, 27, 29, 30, 31}) {
    SCOPED_TRACE(int(type));
    Host h;
    CH264RTPMediaParser p(&h.driver, kSampleSourceName);
    p.SetClient(&h.client);
    Feed(p, KeyFrame(1));
    Feed(p, {Packet({uint8_t(type), 1, 2, 3}, 4, false), Packet(kSlice, 5, true)});
    EXPECT_EQ(h.client.frames.size(), 1u);
    EXPECT_EQ(p.DropCount(kDropUnsupportedPayload), 1u);
    EXPECT_EQ(p.DropCount(kDropNoKeyFrame), 1u);
  }
}

TEST_F(H264Fixture, FuAAfterResetYieldsNothingUntilParameterSets) {
  parser.Reset();
  const std::vector<TestPacket> fu = {Packet({0x7C, 0x85, 1, 2}, 1, false),
                                      Packet({0x7C, 0x45, 3, 4}, 2, true)};
  Feed(parser, fu);
  EXPECT_TRUE(host.client.frames.empty());
  EXPECT_EQ(parser.DropCount(kDropNoParameterSets), 2u);

  parser.SetParameterSets(sps, pps);
  std::vector<TestPacket> again = fu;
  Number(&again, 3);
  Feed(parser, again);
  ASSERT_EQ(host.client.frames.size(), 1u);
  EXPECT_EQ(host.client.frames[0].data,
            Cat({kSc, sps, kSc, pps, kSc, {0x65, 1, 2, 3, 4}, kTrailer}));
}

TEST_F(H264Fixture, IdrStartWithoutStoredSetsSynthesizesThemFromRequestedSize) {
  host.client.resolution = {1920, 1080};
  parser.SetParameterSets({0x67, 0xFF}, {0x68, 0xCE});  // unreadable: synthesized
  Feed(parser, {Packet({0x7C, 0x85, 1}, 1, false), Packet({0x7C, 0x45, 2}, 2, true)});
  ASSERT_EQ(host.client.frames.size(), 1u);
  EXPECT_EQ(host.client.frames[0].data, Cat({kSc,
                                             CH264SpsWriter::BuildSps(1920, 1080),
                                             kSc,
                                             CH264SpsWriter::FixedPps(),
                                             kSc,
                                             {0x65, 1, 2},
                                             kTrailer}));
  EXPECT_EQ(host.client.frames[0].type, kTypeH264);
  EXPECT_EQ(host.client.frames[0].width, 1920u);
  EXPECT_EQ(host.client.frames[0].height, 1088u);  // coded size, not cropped
}

// The session description's sets arrive on the channel's worker while the
// receive thread may already parse: every picture must carry one whole pair
// of sets and the size read from that pair, never a mix of two hand-overs.
TEST_F(H264Fixture, SetsHandedOverWhileParsingStayWhole) {
  const Bytes small = CH264SpsWriter::BuildSps(320, 240);
  const Bytes large = CH264SpsWriter::BuildSps(640, 480);
  parser.SetParameterSets(small, pps);
  constexpr int kPictures = 500;
  std::atomic<int> parsed{0};
  std::thread receiver([&] {
    for (uint16_t seq = 0; parsed < kPictures; seq = uint16_t(seq + 2), ++parsed) {
      Feed(parser,
           {Packet({0x7C, 0x85, 1}, seq, false), Packet({0x7C, 0x45, 2}, uint16_t(seq + 1), true)});
    }
  });
  for (int i = 0; parsed < kPictures; ++i) parser.SetParameterSets(i % 2 ? small : large, pps);
  receiver.join();
  ASSERT_EQ(host.client.frames.size(), size_t(kPictures));
  for (const DeliveredFrame& f : host.client.frames) {
    const bool isLarge = f.width == 640;
    ASSERT_EQ(f.data, Cat({kSc, isLarge ? large : small, kSc, pps, kSc, {0x65, 1, 2}, kTrailer}));
    ASSERT_EQ(f.height, isLarge ? 480u : 240u);
  }
}

TEST_F(H264Fixture, OnlyAnIdrStartWithEndBitClearGetsParameterSets) {
  parser.SetParameterSets(sps, pps);
  Feed(parser, {Packet({0x7C, 0xC5, 7, 8}, 1, true)});  // start and end in one
  // Nothing in front, so its SPS is missing: dropped as an unreadable key frame.
  EXPECT_TRUE(host.client.frames.empty());
  Feed(parser, {Packet(sps, 2, false), Packet({0x7C, 0xC5, 7, 8}, 3, true)});
  ASSERT_EQ(host.client.frames.size(), 1u);
  EXPECT_EQ(host.client.frames[0].data, Cat({kSc, sps, kSc, {0x65, 7, 8}, kTrailer}));
}

TEST_F(H264Fixture, RefusedSampleDiscardsUntilNextKeyPacket) {
  host.client.accept = false;
  Feed(parser, KeyFrame(1));
  host.client.accept = true;
  Feed(parser, {Packet(kSlice, 4, true)});
  EXPECT_EQ(host.client.frames.size(), 1u);  // only the refused one
  Feed(parser, KeyFrame(5));
  EXPECT_EQ(host.client.frames.size(), 2u);
}

TEST_F(H264Fixture, OversizedFrameIsDroppedAndAssemblyResumesAtKeyPacket) {
  Feed(parser, KeyFrame(1));
  std::vector<TestPacket> big;
  Bytes slice(60000, 0x11);
  slice[0] = 0x41;
  uint16_t seq = 4;
  for (int i = 0; i < 36; ++i) big.push_back(Packet(slice, seq++, false));  // > 2 MiB
  big.push_back(Packet(kSlice, seq++, true));
  Feed(parser, big);
  EXPECT_EQ(host.client.frames.size(), 1u);
  EXPECT_EQ(parser.DropCount(kDropOversize), 1u);
  Feed(parser, KeyFrame(seq));
  EXPECT_EQ(host.client.frames.size(), 2u);
}

TEST_F(H264Fixture, PaddingIsNotPartOfTheFrame) {
  TestPacket idr = Packet(Cat({kIdr, {0, 0, 3}}), 3, true);
  idr.padding = true;
  std::vector<TestPacket> key = KeyFrame(1);
  key[2] = idr;
  Feed(parser, key);
  ASSERT_EQ(host.client.frames.size(), 1u);
  EXPECT_EQ(host.client.frames[0].data, Cat({kSc, sps, kSc, pps, kSc, kIdr, kTrailer}));
}

// Pictures as encoders and cameras lay them out: which access units of a
// stream come out after a (re)start, with and without the session's sets.
TEST_F(H264Fixture, DiscardingEndsAtTheFirstKeyPacketOfAnIntactUnit) {
  const Bytes aud = {0x09, 0xF0};
  const Bytes sei = {0x06, 0x05, 0x01, 0xAA, 0x80};
  const Bytes idrStart = {0x7C, 0x85, 1, 2};
  const Bytes idrEnd = {0x7C, 0x45, 3, 4};
  const Bytes idrFromFu = {0x65, 1, 2, 3, 4};
  struct Case {
    const char* name;
    bool setsFromSession;
    std::vector<TestPacket> packets;
    std::vector<Bytes> want;
  };
  const Case cases[] = {
      {"delimiter and SEI before the sets, two slices",
       true,
       {Packet(aud, 1, false, 100), Packet(sei, 2, false, 100), Packet(sps, 3, false, 100),
        Packet(pps, 4, false, 100), Packet(kIdr, 5, false, 100), Packet(kIdr, 6, true, 100)},
       {Cat({kSc, sps, kSc, pps, kSc, kIdr, kSc, kIdr, kTrailer})}},
      // The gaps are wider than the reordering window, so they count as loss at once.
      {"loss inside a unit: its later key packets do not count",
       true,
       {Packet(aud, 1, false, 100), Packet(sps, 2, false, 100), Packet(kIdr, 204, true, 100),
        Packet(aud, 205, false, 200), Packet(sps, 206, false, 200), Packet(pps, 207, false, 200),
        Packet(kIdr, 208, true, 200)},
       {Cat({kSc, sps, kSc, pps, kSc, kIdr, kTrailer})}},
      {"loss at a unit's head: its key packets do not count",
       true,
       {Packet(aud, 1, false, 100), Packet(sps, 203, false, 200), Packet(pps, 204, false, 200),
        Packet(kIdr, 205, true, 200), Packet(sps, 206, false, 300), Packet(pps, 207, false, 300),
        Packet(kIdr, 208, true, 300)},
       {Cat({kSc, sps, kSc, pps, kSc, kIdr, kTrailer})}},
      {"no sets in the session, sets in band before an FU-A picture",
       false,
       {Packet(aud, 1, false, 100), Packet(sps, 2, false, 100), Packet(pps, 3, false, 100),
        Packet(idrStart, 4, false, 100), Packet(idrEnd, 5, true, 100)},
       {Cat({kSc, sps, kSc, pps, kSc, idrFromFu, kTrailer})}},
      {"an IDR picture of two FU-A slices gets the session's sets once",
       true,
       {Packet(idrStart, 1, false, 100), Packet(idrEnd, 2, false, 100),
        Packet(idrStart, 3, false, 100), Packet(idrEnd, 4, true, 100)},
       {Cat({kSc, sps, kSc, pps, kSc, idrFromFu, kSc, idrFromFu, kTrailer})}},
      {"no sets anywhere: FU-A pictures stay refused",
       false,
       {Packet(aud, 1, false, 100), Packet(idrStart, 2, false, 100), Packet(idrEnd, 3, true, 100)},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Host h;
    h.client.resolution = {0, 0};  // nothing to synthesize sets from
    CH264RTPMediaParser p(&h.driver, kSampleSourceName);
    p.SetClient(&h.client);
    p.Reset();
    if (c.setsFromSession) p.SetParameterSets(sps, pps);
    Feed(p, c.packets);
    std::vector<Bytes> got;
    for (const DeliveredFrame& f : h.client.frames) got.push_back(f.data);
    EXPECT_EQ(got, c.want);
    for (const DeliveredFrame& f : h.client.frames) EXPECT_EQ(f.width, 320u);
  }
}

#if QUENLIX_TEST_WITH_CAMSIM
// ---- Round trips on encoded clips -------------------------------------------

struct Clip {
  const char* file;
  uint32_t width;
  uint32_t height;  // coded size
};

struct Stream {
  std::vector<std::vector<Bytes>> units;
  Bytes sps, pps;
};

Stream LoadClip(const char* file) {
  Stream s;
  s.units = GroupAccessUnits(camsim::SplitAnnexB(ReadFile(MediaPath(file))));
  for (const Bytes& nal : s.units.empty() ? std::vector<Bytes>{} : s.units[0]) {
    if ((nal[0] & 0x1F) == 7 && s.sps.empty()) s.sps = nal;
    if ((nal[0] & 0x1F) == 8 && s.pps.empty()) s.pps = nal;
  }
  return s;
}

bool IsKeyUnit(const std::vector<Bytes>& au) {
  for (const Bytes& nal : au) {
    if ((nal[0] & 0x1F) == 5) return true;
  }
  return false;
}

const Clip kClips[] = {
    {"h264_baseline_320x180.h264", 320, 192},
    {"h264_main_352x288.h264", 352, 288},
    {"h264_high_640x480_slices.h264", 640, 480},
};

TEST(H264RoundTrip, ClipsComeBackByteForByteAtSeveralMtus) {
  for (const Clip& clip : kClips) {
    const Stream s = LoadClip(clip.file);
    ASSERT_GE(s.units.size(), 10u) << clip.file;
    ASSERT_FALSE(s.sps.empty());
    for (size_t mtu : {1400, 500, 120}) {
      for (bool stapA : {true, false}) {
        SCOPED_TRACE(std::string(clip.file) + " mtu " + std::to_string(mtu) +
                     (stapA ? " stap-a" : ""));
        Host h;
        CH264RTPMediaParser p(&h.driver, kSampleSourceName);
        p.SetClient(&h.client);
        p.SetParameterSets(s.sps, s.pps);
        H264Packetizer packetizer{mtu, stapA, s.sps, s.pps};
        std::vector<TestPacket> packets;
        std::vector<Bytes> expected;
        for (size_t i = 0; i < s.units.size(); ++i) {
          expected.push_back(packetizer.Packetize(s.units[i], uint32_t(i * 3600), &packets));
        }
        Number(&packets, 65000);  // crosses the sequence wrap
        Feed(p, packets);
        ASSERT_EQ(h.client.frames.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
          EXPECT_EQ(h.client.frames[i].data, expected[i]) << "frame " << i;
          EXPECT_EQ(h.client.frames[i].type, IsKeyUnit(s.units[i]) ? kTypeH264 : kTypeI264);
          EXPECT_EQ(h.client.frames[i].width, clip.width);
          EXPECT_EQ(h.client.frames[i].height, clip.height);
          EXPECT_GE(h.client.frames[i].capacity, expected[i].size());
        }
        EXPECT_TRUE(h.allocator.guardsIntact);
      }
    }
  }
}

#endif  // QUENLIX_TEST_WITH_CAMSIM

}  // namespace
}  // namespace test
}  // namespace quenlix
