// Small helpers shared by the depacketizer tests.
#pragma once

#include <vector>

#include "media/rtp_media_parser.h"
#include "rtp_packetizer.h"

namespace quenlix {
namespace test {

inline void Feed(CRTPMediaParser& parser, const std::vector<TestPacket>& packets) {
  for (const TestPacket& p : packets) parser.ParsePacket(ToRtp(p));
}

inline TestPacket Packet(Bytes payload, uint16_t seq, bool marker, uint32_t ts = 9000) {
  TestPacket p;
  p.payload = std::move(payload);
  p.sequenceNumber = seq;
  p.marker = marker;
  p.timestamp = ts;
  return p;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& b : parts) out.insert(out.end(), b.begin(), b.end());
  return out;
}

}  // namespace test
}  // namespace quenlix
