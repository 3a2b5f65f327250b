// Host side for the depacketizer benchmarks: one reusable sample, so that
// the figures are the parser's and not an allocator's.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fake_driver.h"
#include "fake_sample.h"
#include "media/media_parser_client.h"
#include "rtp/rtp_packet.h"

namespace quenlix {
namespace bench {

// Hands out one sample again and again.
class Allocator : public ISampleAllocator {
 public:
  void Reserved0() override {}
  void Reserved1() override {}
  IMediaSample* Allocate(uint32_t type, uint32_t capacity, const char* source) override {
    if (!sample || sample->Capacity() < capacity) {
      sample = std::make_unique<testhost::FakeSample>(type, capacity, source);
    }
    return sample.get();
  }
  void Reserved3() override {}
  void Reserved4() override {}
  void Reserved5() override {}
  void Release(IMediaSample*) override {}
  virtual ~Allocator() = default;
  std::unique_ptr<testhost::FakeSample> sample;
};

struct Driver : testhost::FakeDriver {
  Driver() : FakeDriver(&samples) {}
  Allocator samples;
};

class Client : public IMediaParserClient {
 public:
  bool OnFrame(IMediaSample* s) override {
    frames++;
    bytes += static_cast<testhost::FakeSample*>(s)->Length();
    return true;
  }
  std::pair<uint32_t, uint32_t> GetResolution() override { return {1280, 720}; }
  virtual ~Client() = default;
  size_t frames = 0;
  size_t bytes = 0;
};

struct Recorded {
  std::vector<std::vector<uint8_t>> payloads;
  std::vector<bool> markers;
  size_t bytes = 0;
  void Add(std::vector<uint8_t> payload, bool marker) {
    bytes += payload.size();
    payloads.push_back(std::move(payload));
    markers.push_back(marker);
  }
  size_t PayloadBytes() const { return bytes; }
};

// Four times the last-level cache (32 MiB where the system does not say):
// a replay of that many bytes reads every packet from memory, as a receiver
// does with datagrams that the kernel has just written.
inline size_t BeyondCacheBytes() {
  const long reported = sysconf(_SC_LEVEL3_CACHE_SIZE);
  const size_t cache = reported > 0 ? size_t(reported) : size_t(32) << 20;
  return std::min(4 * cache, size_t(1) << 30);
}

// Argument 0 replays one second of stream, which stays in the cache;
// argument 1 replays seconds of it until BeyondCacheBytes are reached.
inline void StreamSizes(benchmark::internal::Benchmark* b) {
  b->ArgName("beyond_cache")->Arg(0)->Arg(1)->UseRealTime();
}

// One second of stream made by addSecond (which may vary with the second's
// index), repeated as the argument asks; made once per process and size.
template <class AddSecond>
const Recorded& StreamOf(const benchmark::State& state, AddSecond addSecond) {
  static const Recorded resident = [&] {
    Recorded r;
    addSecond(&r, 0);
    return r;
  }();
  if (state.range(0) == 0) return resident;
  static const Recorded beyond = [&] {
    Recorded r;
    const size_t target = BeyondCacheBytes();
    for (int second = 0; r.bytes < target; ++second) addSecond(&r, second);
    return r;
  }();
  return beyond;
}

// Fills noise the way coded data looks: no start codes inside.
inline void Noise(std::vector<uint8_t>* out, size_t n, uint32_t* seed) {
  for (size_t i = 0; i < n; ++i) {
    *seed = *seed * 1103515245u + 12345u;
    out->push_back(uint8_t((*seed >> 16) | 0x10));
  }
}

template <class Parser>
void RunParser(benchmark::State& state, Parser& parser, Client& client, const Recorded& rec) {
  std::vector<RTPPacket> packets(rec.payloads.size());
  for (size_t i = 0; i < packets.size(); ++i) {
    packets[i].payload = rec.payloads[i].data();
    packets[i].payloadLength = uint32_t(rec.payloads[i].size());
    packets[i].marker = rec.markers[i];
  }
  uint16_t seq = 0;
  uint32_t ts = 0;
  for (auto _ : state) {
    for (RTPPacket& p : packets) {
      p.sequenceNumber = seq++;
      p.timestamp = ts;
      parser.ParsePacket(p);
      if (p.marker) ts += 3600;
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(rec.PayloadBytes()));
  state.counters["frames"] = double(client.frames);
  state.counters["MiB"] = double(rec.PayloadBytes()) / double(1 << 20);
  benchmark::DoNotOptimize(client.bytes);
}

// The same bytes copied into a frame buffer and, when intoSample, from there
// into a sample: the two copies a depacketizer makes. The sample copy starts
// off the page grid: two buffers at the same page offset make a large copy
// several times slower (4 KiB aliasing of loads and stores), which would
// flatter the parser.
inline void RunMemcpy(benchmark::State& state, const Recorded& rec, bool intoSample = true) {
  constexpr size_t kSkew = 2112;
  std::vector<uint8_t> frameBuffer(4 << 20);
  std::vector<uint8_t> sampleStorage((4 << 20) + kSkew);
  uint8_t* sampleBuffer = sampleStorage.data() + kSkew;
  for (auto _ : state) {
    size_t at = 0;
    for (size_t i = 0; i < rec.payloads.size(); ++i) {
      std::memcpy(frameBuffer.data() + at, rec.payloads[i].data(), rec.payloads[i].size());
      at += rec.payloads[i].size();
      if (rec.markers[i]) {
        if (intoSample) std::memcpy(sampleBuffer, frameBuffer.data(), at);
        benchmark::ClobberMemory();
        at = 0;
      }
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(rec.PayloadBytes()));
}

// The bare baseline: every byte copied once.
inline void RunMemcpyOnce(benchmark::State& state, const Recorded& rec) {
  RunMemcpy(state, rec, false);
}

}  // namespace bench
}  // namespace quenlix
