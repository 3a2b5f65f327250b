// The host side shared by the depacketizer fuzzers: a driver whose samples
// abort on an overrun, a client that refuses every third frame, and the
// packet-sequence reader.
//   records of [flags][length 2][payload]; flags bit 0 marker, bit 1
//   padding, bit 2 a sequence jump (by (flags >> 4) - 8, so that repeats,
//   late and reordered packets reach the input window), bit 3 a Reset first.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "fake_driver.h"
#include "fake_sample.h"
#include "media/rtp_media_parser.h"
#include "media/sample_contract.h"

namespace fuzzhost {

using namespace quenlix;

// Aborts on a write or a length past a sample's capacity.
struct Driver : testhost::FakeDriver {
  Driver() : FakeDriver(&samples) {}
  ~Driver() override {
    if (!samples.guardsIntact) std::abort();
  }
  testhost::FakeAllocator samples;
};

class Client : public IMediaParserClient {
 public:
  // Refuses every third frame, so that the refusal paths are reached too.
  bool OnFrame(IMediaSample*) override { return ++frames % 3 != 0; }
  std::pair<uint32_t, uint32_t> GetResolution() override { return size; }
  virtual ~Client() = default;
  unsigned frames = 0;
  std::pair<uint32_t, uint32_t> size{0, 0};
};

// Feeds the records from data[at] on into the parser.
inline void FeedPackets(CRTPMediaParser& parser, const uint8_t* data, size_t size, size_t at) {
  uint16_t seq = 0;
  uint32_t ts = 0;
  while (at + 3 <= size) {
    const uint8_t flags = data[at];
    size_t n = size_t(data[at + 1]) << 8 | data[at + 2];
    at += 3;
    n = std::min(n, size - at);
    if (flags & 8) parser.Reset();
    RTPPacket p;
    p.marker = flags & 1;
    p.padding = flags & 2;
    p.sequenceNumber = (flags & 4) ? uint16_t(seq + (flags >> 4) - 8) : seq;
    seq = uint16_t(p.sequenceNumber + 1);
    p.timestamp = ts;
    // Exactly the payload's bytes, so that any overread is caught.
    std::vector<uint8_t> payload(data + at, data + at + n);
    p.payload = payload.empty() ? nullptr : payload.data();
    p.payloadLength = uint32_t(n);
    parser.ParsePacket(p);
    if (p.marker) ts += 3600;
    at += n;
  }
}

// A parser of the given type, made with the extra arguments, fed the records.
template <class Parser, class... Extra>
void Depacketize(const uint8_t* data, size_t size, Extra... extra) {
  Driver driver;
  Client client;
  Parser parser(&driver, kSampleSourceName, extra...);
  parser.SetClient(&client);
  FeedPackets(parser, data, size, 0);
}

}  // namespace fuzzhost
