// Packet orders of clean and impaired networks: what the sequencing hands
// on, and the frames each codec makes of the simulator's clips.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>

#include "media/h264_rtp_media_parser.h"
#include "media/jpeg_rtp_media_parser.h"
#include "media/mpeg4_rtp_media_parser.h"
#include "media/sample_contract.h"
#include "media_test_util.h"

namespace quenlix {
namespace test {
namespace {

// Records the order and the gap marks ("!") the base hands on.
class Recorder : public CRTPMediaParser {
 public:
  Recorder() : CRTPMediaParser(nullptr, "") {}
  void Reset() override { ResetSequence(); }
  void Feed(uint16_t seq, uint32_t ts = 0, bool marker = true, char payload = 'x') {
    RTPPacket p;
    p.sequenceNumber = seq;
    p.timestamp = ts;
    p.marker = marker;
    p.payload = reinterpret_cast<const uint8_t*>(&payload);
    p.payloadLength = 1;
    ParsePacket(p);
  }
  std::string out;

 protected:
  void HandlePacket(const RTPPacket& packet, bool afterGap) override {
    out += (out.empty() ? "" : " ") + std::string(afterGap ? "!" : "") +
           std::to_string(packet.sequenceNumber) + ":" + char(packet.payload[0]);
  }
};

TEST(PacketWindow, OrdersRepairsAndGivesUp) {
  struct Case {
    const char* name;
    // Sequence numbers as they arrive, each packet a frame of its own;
    // "-": no marker, "+": a time stamp one tick beyond the window.
    const char* in;
    const char* out;               // seq:payload, payloads a, b, ... in arrival order
    std::vector<uint64_t> counts;  // lost, duplicated, reordered, repaired, late
  };
  const Case cases[] = {
      {"in order", "1 2 3", "1:a 2:b 3:c", {0, 0, 0, 0, 0}},
      {"first frame overtaken", "11- 10- 12 13", "10:b 11:a 12:c 13:d", {0, 0, 0, 0, 0}},
      {"duplicate", "1 2 2 3", "1:a 2:b 3:d", {0, 1, 0, 0, 0}},
      {"duplicate while held", "1 3 3 2", "1:a 2:d 3:b", {0, 1, 1, 1, 0}},
      {"swap", "1 3 2 4", "1:a 2:c 3:b 4:d", {0, 0, 1, 1, 0}},
      {"wrap", "65534 0 65535 1", "65534:a 65535:c 0:b 1:d", {0, 0, 1, 1, 0}},
      {"gap given up by age, late packet ignored",
       "1 3 4+ 2+ 5+",
       "1:a !3:b 4:c 5:e",
       {1, 0, 2, 0, 1}},
      {"burst wider than the window", "1 300 301", "1:a !300:b 301:c", {298, 0, 0, 0, 0}},
      {"restarted source: far back, then on",
       "30000 100 101 102",
       "30000:a !101:c 102:d",
       {0, 0, 0, 0, 1}},
      {"stray far behind is ignored", "30000 100 30001", "30000:a 30001:c", {0, 0, 0, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder r;
    std::istringstream in(c.in);
    char payload = 'a';
    for (std::string word; in >> word; ++payload) {
      const uint32_t ts = word.back() == '+' ? CRTPMediaParser::kWindowTicks + 1 : 0;
      r.Feed(uint16_t(std::stoul(word)), ts, word.back() != '-', payload);
    }
    EXPECT_EQ(r.out, c.out);
    const RECEPTION_COUNTS n = r.GetReceptionCounts();
    EXPECT_EQ(n.received, uint64_t(payload - 'a'));
    EXPECT_EQ(std::vector<uint64_t>({n.lost, n.duplicated, n.reordered, n.repaired, n.late}),
              c.counts);
  }
}

TEST(PacketWindow, FullWindowGivesUpTheGapAndResetForgetsHeldPackets) {
  Recorder r;
  r.Feed(1);
  for (uint16_t s = 3; s <= 2 + CRTPMediaParser::kWindowSlots - 1; ++s) r.Feed(s);
  EXPECT_EQ(r.out, "1:x");  // all held, 2 may still come
  r.Feed(uint16_t(2 + CRTPMediaParser::kWindowSlots));
  EXPECT_EQ(r.out.substr(0, 8), "1:x !3:x");
  EXPECT_EQ(r.GetReceptionCounts().lost, 1u);

  r.out.clear();
  const uint16_t far = 3 * CRTPMediaParser::kWindowSlots;
  r.Feed(far);
  r.Feed(uint16_t(far + 2));  // held
  r.Reset();
  r.Feed(7);  // a new session starts anywhere, without a gap
  EXPECT_EQ(r.out, "!" + std::to_string(far) + ":x 7:x");
}

#if QUENLIX_TEST_WITH_CAMSIM
enum class Codec { kH264, kJpeg, kMpeg4 };

std::unique_ptr<CRTPMediaParser> MakeParser(Codec codec, Host& host) {
  std::unique_ptr<CRTPMediaParser> p;
  if (codec == Codec::kH264) p.reset(new CH264RTPMediaParser(&host.driver, kSampleSourceName));
  if (codec == Codec::kJpeg) p.reset(new CJpegRTPMediaParser(&host.driver, kSampleSourceName));
  if (codec == Codec::kMpeg4) p.reset(new CMpeg4RTPMediaParser(&host.driver, kSampleSourceName));
  p->SetClient(&host);
  return p;
}

#if QUENLIX_TEST_DECODER
// The decoder is the build machine's ffmpeg, which a Windows build of the
// tests cannot start.
Bytes Decode(const Bytes& pictures) {
  return RunOn(pictures, "ffmpeg -nostdin -loglevel error -f mjpeg -i",
               "-f rawvideo -pix_fmt yuv444p -");
}
#endif

// Clean, each clip comes back frame for frame across the sequence wrap (the
// JPEG pictures, tables rebuilt from Q, decode as the clip's do). A loss
// costs the frames up to the next point a decoder can start from, and no
// frame with a hole comes out.
TEST(ClipStream, EachCodecKeepsEveryWholeFrameAndNoBrokenOne) {
  const struct {
    Codec codec;
    const char* file;
    size_t mtu;
    uint32_t width, height;       // coded size
    uint32_t keyType, otherType;  // not for JPEG
  } sources[] = {
      {Codec::kH264, "h264_high_640x480_slices.h264", 300, 640, 480, kTypeH264, kTypeI264},
      {Codec::kJpeg, "jpeg_q76_420.mjpeg", 700, 320, 240, 0, 0},
      {Codec::kMpeg4, "mpeg4_352x288.m4v", 300, 352, 288, kTypeDIVX, kTypeDIVI},
  };
  // From the second packet of a frame on: that packet arrives after the
  // window gave up on it, or packets are lost, from the frame's last on.
  const struct {
    const char* name;
    size_t lose;  // 0: late instead
    bool atEnd;
  } orders[] = {
      {"late after the window gave up", 0, false},
      {"lost end of frame", 1, true},
      {"burst of 50", 50, false},
  };
  for (const auto& source : sources) {
    SCOPED_TRACE(source.file);
    // The clip played twice, so that every order fits after the frame it
    // hits. Unfragmented, each H.264 packet is one NAL unit; the MPEG-4
    // clip's key frame interval is 5.
    const auto frames = LoadClip(source.file, source.mtu).frames;
    const auto units = LoadClip(source.file, 1 << 20).frames;
    std::vector<TestPacket> sent;
    std::vector<size_t> owner;     // frame of each packet
    std::vector<bool> startPoint;  // a decoder can start at this frame
    for (size_t f = 0; f < 2 * frames.size(); ++f) {
      const size_t i = f % frames.size();
      Append(frames[i], uint32_t(f * (source.codec == Codec::kH264 ? 3600 : 7500)), &sent);
      owner.resize(sent.size(), f);
      bool start = source.codec == Codec::kJpeg || (source.codec == Codec::kMpeg4 && i % 5 == 0);
      for (const camsim::RtpPayload& nal : units[i].packets) {
        start = start || (source.codec == Codec::kH264 && (nal.bytes[0] & 0x1F) == 5);
      }
      startPoint.push_back(start);
    }
    ASSERT_GE(startPoint.size(), 20u);

    Host clean;
    auto reference = MakeParser(source.codec, clean);
    std::vector<TestPacket> numbered = sent;
    Number(&numbered, 65000);
    Feed(*reference, numbered);
    ASSERT_EQ(clean.frames.size(), startPoint.size());
    Bytes all;
    for (size_t f = 0; f < startPoint.size(); ++f) {
      const DeliveredFrame& got = clean.frames[f];
      if (source.codec != Codec::kJpeg) {
        EXPECT_EQ(got.type, startPoint[f] ? source.keyType : source.otherType) << "frame " << f;
      }
      EXPECT_EQ(got.width, source.width);
      EXPECT_EQ(got.height, source.height);
      EXPECT_GE(got.capacity, got.data.size());
      all = Cat({all, got.data});
    }
    EXPECT_TRUE(clean.allocator.guardsIntact);
#if QUENLIX_TEST_DECODER
    if (source.codec == Codec::kJpeg) {
      const Bytes clip = ReadFile(MediaPath(source.file));
      const Bytes want = Decode(Cat({clip, clip}));
      ASSERT_FALSE(want.empty());
      EXPECT_TRUE(Decode(all) == want) << "the pictures decode differently";
    }
#endif

    // The first frame after frame 1 with room for every order, hit at its
    // second packet.
    size_t hit = 2;
    while (std::count(owner.begin(), owner.end(), hit) < 4) ++hit;
    const size_t at = size_t(std::find(owner.begin(), owner.end(), hit) - owner.begin()) + 1;
    ASSERT_LT(at + CRTPMediaParser::kWindowSlots + 60, sent.size());
    for (const auto& order : orders) {
      SCOPED_TRACE(order.name);
      std::vector<TestPacket> packets = sent;
      Number(&packets, 100);
      size_t first = at;
      while (order.atEnd && !packets[first].marker) ++first;
      // The packets that never arrive in time, by sending index.
      std::vector<size_t> gone(std::max<size_t>(order.lose, 1));
      std::iota(gone.begin(), gone.end(), first);
      const auto from = packets.begin() + long(first);
      if (order.lose == 0)
        std::rotate(from, from + 1, from + long(CRTPMediaParser::kWindowSlots) + 9);
      packets.erase(from, from + long(order.lose));

      // Frames with a packet that arrived, and those the loss costs.
      std::vector<bool> touched(startPoint.size(), false);
      for (size_t i = 0; i < owner.size(); ++i) {
        if (std::find(gone.begin(), gone.end(), i) == gone.end()) touched[owner[i]] = true;
      }
      std::vector<bool> dropped(startPoint.size(), false);
      size_t resume = owner[gone.back()] + 1;
      while (resume < startPoint.size() && !startPoint[resume]) ++resume;
      for (size_t f = owner[gone.front()]; f < resume; ++f) dropped[f] = true;
      std::vector<Bytes> want;
      uint64_t wantDropped = 0;
      for (size_t f = 0; f < dropped.size(); ++f) {
        if (!dropped[f]) want.push_back(clean.frames[f].data);
        if (dropped[f] && touched[f]) ++wantDropped;
      }

      Host h;
      auto parser = MakeParser(source.codec, h);
      Feed(*parser, packets);
      EXPECT_EQ(h.frames.size(), want.size());
      EXPECT_TRUE(h.Data() == want);
      const RECEPTION_COUNTS n = parser->GetReceptionCounts();
      EXPECT_EQ(n.lost, gone.size());
      EXPECT_EQ(n.framesDropped, wantDropped);
      EXPECT_EQ(h.allocator.outstanding, 0);
    }
  }
}
#endif  // QUENLIX_TEST_WITH_CAMSIM

}  // namespace
}  // namespace test
}  // namespace quenlix
