// Packet orders of clean and impaired networks: what the sequencing hands on.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "media/rtp_media_parser.h"

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
    const char* out;  // seq:payload, payloads a, b, ... in arrival order
    // Lost, duplicated, reordered, repaired, late, and frames dropped: every
    // frame ended, as none is handed over.
    std::vector<uint64_t> counts;
  };
  const Case cases[] = {
      {"in order", "1 2 3", "1:a 2:b 3:c", {0, 0, 0, 0, 0, 3}},
      {"first frame overtaken", "11- 10- 12 13", "10:b 11:a 12:c 13:d", {0, 0, 0, 0, 0, 2}},
      {"duplicate", "1 2 2 3", "1:a 2:b 3:d", {0, 1, 0, 0, 0, 3}},
      {"duplicate while held", "1 3 3 2", "1:a 2:d 3:b", {0, 1, 1, 1, 0, 3}},
      {"swap", "1 3 2 4", "1:a 2:c 3:b 4:d", {0, 0, 1, 1, 0, 4}},
      {"wrap", "65534 0 65535 1", "65534:a 65535:c 0:b 1:d", {0, 0, 1, 1, 0, 4}},
      {"gap given up by age, late packet ignored",
       "1 3 4+ 2+ 5+",
       "1:a !3:b 4:c 5:e",
       {1, 0, 2, 0, 1, 4}},
      {"burst wider than the window", "1 300 301", "1:a !300:b 301:c", {298, 0, 0, 0, 0, 3}},
      {"restarted source: far back, then on",
       "30000 100 101 102",
       "30000:a !101:c 102:d",
       {0, 0, 0, 0, 1, 3}},
      {"stray far behind is ignored", "30000 100 30001", "30000:a 30001:c", {0, 0, 0, 0, 1, 2}},
      {"frame without its end", "1- 2+", "1:a 2:b", {0, 0, 0, 0, 0, 2}},
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
    EXPECT_EQ(std::vector<uint64_t>(
                  {n.lost, n.duplicated, n.reordered, n.repaired, n.late, n.framesDropped}),
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

}  // namespace
}  // namespace test
}  // namespace quenlix
