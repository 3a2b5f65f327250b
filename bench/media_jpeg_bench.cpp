// bench-module: media
// JPEG depacketizing of a packet sequence made up front (25 pictures of
// 60 kB at 640x480 a second, Q 76, 1400-byte packets), beside memcpy of the
// same bytes; one second held in the cache, and a replay larger than it.
#include "media/jpeg_rtp_media_parser.h"
#include "media/sample_contract.h"
#include "media_bench_host.h"

namespace {

using namespace quenlix;
using namespace quenlix::bench;

constexpr size_t kMtu = 1400;
constexpr size_t kMainHeader = 8;

const Recorded& Stream(const benchmark::State& state) {
  return StreamOf(state, [](Recorded* r, int second) {
    uint32_t seed = uint32_t(7 + second);
    for (int frame = 0; frame < 25; ++frame) {
      std::vector<uint8_t> scan;
      Noise(&scan, 60000, &seed);
      for (size_t at = 0; at < scan.size(); at += kMtu - kMainHeader) {
        const size_t n = std::min(kMtu - kMainHeader, scan.size() - at);
        std::vector<uint8_t> p = {0, uint8_t(at >> 16), uint8_t(at >> 8), uint8_t(at), 1, 76, 80,
                                  60};
        p.insert(p.end(), scan.begin() + long(at), scan.begin() + long(at + n));
        r->Add(std::move(p), at + n == scan.size());
      }
    }
  });
}

void BM_JpegDepacketize(benchmark::State& state) {
  Driver driver;
  Client client;
  CJpegRTPMediaParser parser(&driver, kSampleSourceName);
  parser.SetClient(&client);
  RunParser(state, parser, client, Stream(state));
}
BENCHMARK(BM_JpegDepacketize)->Apply(StreamSizes);

void BM_JpegMemcpy(benchmark::State& state) { RunMemcpy(state, Stream(state)); }
BENCHMARK(BM_JpegMemcpy)->Apply(StreamSizes);

void BM_JpegMemcpyOnce(benchmark::State& state) { RunMemcpyOnce(state, Stream(state)); }
BENCHMARK(BM_JpegMemcpyOnce)->Apply(StreamSizes);

}  // namespace

BENCHMARK_MAIN();
