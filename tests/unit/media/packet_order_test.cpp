// Packet orders of impaired networks: what the sequencing hands on, and the
// frames each codec must make of them. A repaired order loses nothing; real
// loss costs the frames up to the next point a decoder can start from, and
// no frame with a hole comes out.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "media/h264_rtp_media_parser.h"
#include "media/jpeg_rtp_media_parser.h"
#include "media/mpeg4_rtp_media_parser.h"
#include "media/sample_contract.h"
#include "media_fakes.h"
#include "media_test_util.h"

namespace quenlix {
namespace test {
namespace {

// ---- The window itself ------------------------------------------------------

// Records the order and the gap marks the base hands on.
class Recorder : public CRTPMediaParser {
 public:
  Recorder() : CRTPMediaParser(nullptr, "") {}
  void Reset() override { ResetSequence(); }
  std::string out;

 protected:
  void HandlePacket(const RTPPacket& packet, bool afterGap) override {
    out += (out.empty() ? "" : " ") + std::string(afterGap ? "!" : "") +
           std::to_string(packet.sequenceNumber) + ":" +
           std::string(reinterpret_cast<const char*>(packet.payload), packet.payloadLength);
  }
};

struct Arrival {
  uint16_t seq;
  uint32_t ts;
  bool marker = true;  // each packet a frame of its own, unless told
};

TEST(PacketWindow, OrdersRepairsAndGivesUp) {
  struct Case {
    const char* name;
    std::vector<Arrival> in;
    const char* out;  // "!" marks a packet handed on after a gap
    uint64_t lost, duplicated, reordered, repaired, late;
  };
  const uint32_t old = CRTPMediaParser::kWindowTicks + 1;  // one tick too old
  const Case cases[] = {
      {"in order", {{1, 0}, {2, 0}, {3, 0}}, "1:a 2:b 3:c", 0, 0, 0, 0, 0},
      {"first frame overtaken at the start",
       {{11, 0, false}, {10, 0, false}, {12, 0}, {13, 0}},
       "10:b 11:a 12:c 13:d",
       0,
       0,
       0,
       0,
       0},
      {"duplicate", {{1, 0}, {2, 0}, {2, 0}, {3, 0}}, "1:a 2:b 3:d", 0, 1, 0, 0, 0},
      {"duplicate while held", {{1, 0}, {3, 0}, {3, 0}, {2, 0}}, "1:a 2:d 3:b", 0, 1, 1, 1, 0},
      {"swap", {{1, 0}, {3, 0}, {2, 0}, {4, 0}}, "1:a 2:c 3:b 4:d", 0, 0, 1, 1, 0},
      {"wrap inside the window",
       {{65534, 0}, {0, 0}, {65535, 0}, {1, 0}},
       "65534:a 65535:c 0:b 1:d",
       0,
       0,
       1,
       1,
       0},
      {"gap given up by age, late packet ignored",
       {{1, 0}, {3, 0}, {4, old}, {2, old}, {5, old}},
       "1:a !3:b 4:c 5:e",
       1,
       0,
       2,
       0,
       1},
      {"burst wider than the window",
       {{1, 0}, {300, 0}, {301, 0}},
       "1:a !300:b 301:c",
       298,
       0,
       0,
       0,
       0},
      {"restarted source: a far jump back, then its next packet",
       {{30000, 0}, {100, 0}, {101, 0}, {102, 0}},
       "30000:a !101:c 102:d",
       0,
       0,
       0,
       0,
       1},
      {"stray far behind is ignored",
       {{30000, 0}, {100, 0}, {30001, 0}},
       "30000:a 30001:c",
       0,
       0,
       0,
       0,
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Recorder r;
    std::vector<std::string> payloads;
    for (size_t i = 0; i < c.in.size(); ++i) payloads.push_back(std::string(1, char('a' + i)));
    for (size_t i = 0; i < c.in.size(); ++i) {
      RTPPacket p;
      p.sequenceNumber = c.in[i].seq;
      p.timestamp = c.in[i].ts;
      p.marker = c.in[i].marker;
      p.payload = reinterpret_cast<const uint8_t*>(payloads[i].data());
      p.payloadLength = 1;
      r.ParsePacket(p);
    }
    EXPECT_EQ(r.out, c.out);
    const RECEPTION_COUNTS n = r.GetReceptionCounts();
    EXPECT_EQ(n.received, c.in.size());
    EXPECT_EQ(n.lost, c.lost);
    EXPECT_EQ(n.duplicated, c.duplicated);
    EXPECT_EQ(n.reordered, c.reordered);
    EXPECT_EQ(n.repaired, c.repaired);
    EXPECT_EQ(n.late, c.late);
  }
}

TEST(PacketWindow, FullWindowGivesUpTheGapAndResetForgetsHeldPackets) {
  Recorder r;
  std::string payload = "x";
  auto feed = [&](uint16_t seq) {
    RTPPacket p;
    p.sequenceNumber = seq;
    p.marker = true;
    p.payload = reinterpret_cast<const uint8_t*>(payload.data());
    p.payloadLength = 1;
    r.ParsePacket(p);
  };
  feed(1);
  for (uint16_t s = 3; s <= 2 + CRTPMediaParser::kWindowSlots - 1; ++s) feed(s);
  EXPECT_EQ(r.out, "1:x");  // all held, 2 may still come
  feed(uint16_t(2 + CRTPMediaParser::kWindowSlots));
  EXPECT_EQ(r.out.substr(0, 8), "1:x !3:x");
  EXPECT_EQ(r.GetReceptionCounts().lost, 1u);

  r.out.clear();
  const uint16_t far = 3 * CRTPMediaParser::kWindowSlots;
  feed(far);
  feed(uint16_t(far + 2));  // held
  r.Reset();
  feed(7);  // a new session starts anywhere, without a gap
  EXPECT_EQ(r.out, "!" + std::to_string(far) + ":x 7:x");
}

#if QUENLIX_TEST_WITH_CAMSIM
// ---- Frames per codec ---------------------------------------------------------

enum class Codec { kH264, kJpeg, kMpeg4 };

struct Clip {
  std::vector<TestPacket> packets;  // in sending order
  std::vector<size_t> owner;        // frame of each packet
  std::vector<bool> startPoint;     // a decoder can start at this frame
  Bytes sps, pps;
};

// The source clip played twice, so that every order fits after the frame
// it hits.
Clip MakeClip(Codec codec) {
  constexpr size_t kPlays = 2;
  Clip c;
  auto own = [&c](size_t frame) { c.owner.resize(c.packets.size(), frame); };
  if (codec == Codec::kH264) {
    const auto units =
        GroupAccessUnits(camsim::SplitAnnexB(ReadFile(MediaPath("h264_high_640x480_slices.h264"))));
    for (const Bytes& nal : units.at(0)) {
      if ((nal[0] & 0x1F) == 7) c.sps = nal;
      if ((nal[0] & 0x1F) == 8) c.pps = nal;
    }
    const H264Packetizer packetizer{300, true, c.sps, c.pps};
    for (size_t f = 0; f < kPlays * units.size(); ++f) {
      const auto& unit = units[f % units.size()];
      packetizer.Packetize(unit, uint32_t(f * 3600), &c.packets);
      own(f);
      c.startPoint.push_back(std::any_of(unit.begin(), unit.end(),
                                         [](const Bytes& nal) { return (nal[0] & 0x1F) == 5; }));
    }
  } else if (codec == Codec::kJpeg) {
    const auto pictures = SplitJpegs(ReadFile(MediaPath("jpeg_q76_420.mjpeg")));
    for (size_t f = 0; f < kPlays * pictures.size(); ++f) {
      if (!PacketizeJpeg(pictures[f % pictures.size()], 76, 700, uint32_t(f * 7500), &c.packets))
        return {};
      own(f);
      c.startPoint.push_back(true);
    }
  } else {
    camsim::Clip mpeg4;
    std::string error;
    if (!camsim::LoadClip(MediaPath("mpeg4_352x288.m4v"), 300, &mpeg4, &error)) return {};
    const auto& frames = mpeg4.frames;
    for (size_t f = 0; f < kPlays * frames.size(); ++f) {
      Append(frames[f % frames.size()].packets, uint32_t(f * 7500), &c.packets);
      own(f);
      c.startPoint.push_back(f % frames.size() % 5 == 0);  // the clip's key frame interval
    }
  }
  return c;
}

std::unique_ptr<CRTPMediaParser> MakeParser(Codec codec, Host& host, const Clip& clip) {
  std::unique_ptr<CRTPMediaParser> p;
  if (codec == Codec::kH264) {
    auto h264 = std::make_unique<CH264RTPMediaParser>(&host.driver, kSampleSourceName);
    h264->SetClient(&host.client);
    h264->SetParameterSets(clip.sps, clip.pps);
    p = std::move(h264);
  } else if (codec == Codec::kJpeg) {
    p = std::make_unique<CJpegRTPMediaParser>(&host.driver, kSampleSourceName);
  } else {
    p = std::make_unique<CMpeg4RTPMediaParser>(&host.driver, kSampleSourceName);
  }
  p->SetClient(&host.client);
  return p;
}

// Changes the arrival order around packet `at` (the second of a frame) and
// returns the packets that never arrive in time, by their sending index.
using Impair = std::function<std::vector<size_t>(std::vector<TestPacket>&, size_t at)>;

void Move(std::vector<TestPacket>& v, size_t from, size_t to) {
  TestPacket p = v[from];
  v.erase(v.begin() + long(from));
  v.insert(v.begin() + long(to), p);
}

TEST(PacketOrder, EachCodecKeepsEveryWholeFrameAndNoBrokenOne) {
  struct Order {
    const char* name;
    uint16_t firstSeq;
    Impair impair;
  };
  const Order orders[] = {
      {"duplicate", 100,
       [](auto& v, size_t at) {
         v.insert(v.begin() + long(at), v[at]);
         return std::vector<size_t>{};
       }},
      {"swap of two", 100,
       [](auto& v, size_t at) {
         std::swap(v[at], v[at + 1]);
         return std::vector<size_t>{};
       }},
      {"5 places late", 100,
       [](auto& v, size_t at) {
         Move(v, at, at + 5);
         return std::vector<size_t>{};
       }},
      {"late after the window gave up", 100,
       [](auto& v, size_t at) {
         Move(v, at, at + CRTPMediaParser::kWindowSlots + 8);
         return std::vector<size_t>{at};
       }},
      {"sequence wrap inside the window", 0,  // numbered so that at + 1 is 0
       [](auto& v, size_t at) {
         std::swap(v[at], v[at + 2]);
         return std::vector<size_t>{};
       }},
      {"lost end of frame", 100,
       [](auto& v, size_t at) {
         size_t end = at;
         while (!v[end].marker) ++end;
         v.erase(v.begin() + long(end));
         return std::vector<size_t>{end};
       }},
      {"burst of 50", 100,
       [](auto& v, size_t at) {
         v.erase(v.begin() + long(at), v.begin() + long(at + 50));
         std::vector<size_t> gone;
         for (size_t i = at; i < at + 50; ++i) gone.push_back(i);
         return gone;
       }},
  };
  for (Codec codec : {Codec::kH264, Codec::kJpeg, Codec::kMpeg4}) {
    const Clip clip = MakeClip(codec);
    ASSERT_GE(clip.startPoint.size(), 10u);
    // The frames a clean run makes; each impaired run must give a subset.
    Host clean;
    auto reference = MakeParser(codec, clean, clip);
    std::vector<TestPacket> numbered = clip.packets;
    Number(&numbered, 1);
    Feed(*reference, numbered);
    ASSERT_EQ(clean.client.frames.size(), clip.startPoint.size());

    // The first frame after frame 1 with room for every order, with a
    // start point after it.
    size_t hit = 2;
    auto packetsOf = [&](size_t f) {
      return size_t(std::count(clip.owner.begin(), clip.owner.end(), f));
    };
    while (hit < clip.startPoint.size() && packetsOf(hit) < 4) ++hit;
    const size_t at =
        size_t(std::find(clip.owner.begin(), clip.owner.end(), hit) - clip.owner.begin()) + 1;
    ASSERT_LT(at + CRTPMediaParser::kWindowSlots + 60, clip.packets.size());

    for (const Order& order : orders) {
      SCOPED_TRACE(std::string("codec ") + std::to_string(int(codec)) + ", " + order.name);
      std::vector<TestPacket> packets = clip.packets;
      Number(&packets, order.firstSeq == 0 ? uint16_t(65536 - at - 1) : order.firstSeq);
      const std::vector<size_t> gone = order.impair(packets, at);

      // Frames with a packet that arrived, and those the loss costs.
      std::vector<bool> touched(clip.startPoint.size(), false);
      for (size_t i = 0; i < clip.owner.size(); ++i) {
        if (std::find(gone.begin(), gone.end(), i) == gone.end()) touched[clip.owner[i]] = true;
      }
      std::vector<bool> dropped(clip.startPoint.size(), false);
      if (!gone.empty()) {
        const size_t first = clip.owner[gone.front()];
        size_t resume = clip.owner[gone.back()] + 1;
        while (resume < clip.startPoint.size() && !clip.startPoint[resume]) ++resume;
        for (size_t f = first; f < resume; ++f) dropped[f] = true;
      }
      std::vector<Bytes> want;
      uint64_t wantDropped = 0;
      for (size_t f = 0; f < dropped.size(); ++f) {
        if (!dropped[f]) want.push_back(clean.client.frames[f].data);
        if (dropped[f] && touched[f]) ++wantDropped;
      }

      Host h;
      auto parser = MakeParser(codec, h, clip);
      Feed(*parser, packets);
      std::vector<Bytes> got;
      for (const DeliveredFrame& f : h.client.frames) got.push_back(f.data);
      EXPECT_EQ(got.size(), want.size());
      EXPECT_TRUE(got == want);
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
