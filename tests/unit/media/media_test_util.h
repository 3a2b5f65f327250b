// The depacketizer tests' host (the shared driver, samples and allocator)
// and packet builders.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "fake_driver.h"
#include "fake_sample.h"
#include "media/media_parser_client.h"
#include "media/rtp_media_parser.h"

namespace quenlix {
namespace test {

using testhost::DeliveredFrame;
using Bytes = std::vector<uint8_t>;

// A parser's driver, allocator and client: it keeps the frames it is given.
struct Host : IMediaParserClient {
  bool OnFrame(IMediaSample* sample) override {
    frames.push_back(static_cast<testhost::FakeSample*>(sample)->Snapshot());
    return frames.size() > refuse;
  }
  std::pair<uint32_t, uint32_t> GetResolution() override { return resolution; }
  std::vector<Bytes> Data() const {
    std::vector<Bytes> out;
    for (const DeliveredFrame& f : frames) out.push_back(f.data);
    return out;
  }

  testhost::FakeAllocator allocator;
  testhost::FakeDriver driver{&allocator};
  std::vector<DeliveredFrame> frames;
  size_t refuse = 0;  // the first this many frames are refused
  std::pair<uint32_t, uint32_t> resolution{0, 0};
};

struct TestPacket {
  Bytes payload;
  uint16_t sequenceNumber = 0;
  bool marker = false;
  uint32_t timestamp = 9000;
  bool padding = false;
};

inline TestPacket Packet(Bytes payload, uint16_t seq, bool marker, uint32_t ts = 9000) {
  return {std::move(payload), seq, marker, ts};
}

inline void Feed(CRTPMediaParser& parser, const std::vector<TestPacket>& packets) {
  for (const TestPacket& p : packets) {
    RTPPacket r;
    r.sequenceNumber = p.sequenceNumber;
    r.timestamp = p.timestamp;
    r.marker = p.marker;
    r.padding = p.padding;
    r.payload = p.payload.data();
    r.payloadLength = uint32_t(p.payload.size());
    parser.ParsePacket(r);
  }
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& b : parts) out.insert(out.end(), b.begin(), b.end());
  return out;
}

// Sequence numbers from first on, wrapping.
inline void Number(std::vector<TestPacket>* packets, uint16_t first) {
  for (TestPacket& p : *packets) p.sequenceNumber = first++;
}

}  // namespace test
}  // namespace quenlix
