// The depacketizer tests' host (the shared driver, samples and allocator)
// and packet builders. Clips are cut
// by the camera simulator's packetizer, written apart from the depacketizers.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "fake_driver.h"
#include "fake_sample.h"
#include "media/media_parser_client.h"
#include "media/rtp_media_parser.h"

#if QUENLIX_TEST_WITH_CAMSIM
#include "packetizer.h"
#endif

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

// The clips made by scripts/make-media.
inline std::string MediaPath(const std::string& name) {
  return std::string(QUENLIX_MEDIA_DIR) + "/" + name;
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#if QUENLIX_TEST_WITH_CAMSIM
inline camsim::Clip LoadClip(const std::string& name, size_t mtu) {
  camsim::Clip clip;
  std::string error;
  camsim::LoadClip(MediaPath(name), mtu, &clip, &error);
  return clip;
}

// One frame's payloads as packets with the given timestamp.
inline void Append(const camsim::ClipFrame& frame, uint32_t ts, std::vector<TestPacket>* out) {
  for (const camsim::RtpPayload& p : frame.packets) out->push_back({p.bytes, 0, p.marker, ts});
}

#endif

// What `before FILE after` prints, FILE holding the input. The file's name
// is this process's own: test runs of several build trees share the folder.
inline Bytes RunOn(const Bytes& input, const std::string& before, const std::string& after) {
  static const std::string kRun = std::to_string(std::random_device{}());
  static int files = 0;
  const char* dir = std::getenv("TMPDIR");
  const std::string path = std::string(dir != nullptr ? dir : "/tmp") + "/quenlix_media_" + kRun +
                           "_" + std::to_string(files++);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(input.data()), std::streamsize(input.size()));
  Bytes out;
  if (FILE* pipe = popen((before + " " + path + " " + after).c_str(), "r")) {
    for (int c; (c = std::fgetc(pipe)) != EOF;) out.push_back(uint8_t(c));
    pclose(pipe);
  }
  std::remove(path.c_str());
  return out;
}

}  // namespace test
}  // namespace quenlix
