// bench-module: media
// MPEG-4 depacketizing of a packet sequence made up front (each second an
// I-VOP of 40 kB behind its configuration headers, then P-VOPs of 8 kB,
// 1400-byte packets), beside memcpy of the same bytes; one second held in
// the cache, and a replay larger than it. The header reader is a fixed
// answer here: the library's cost is not the parser's.
#include "media/mpeg4_rtp_media_parser.h"
#include "media/sample_contract.h"
#include "media_bench_host.h"

namespace {

using namespace quenlix;
using namespace quenlix::bench;

constexpr size_t kMtu = 1400;

int32_t QUENLIX_STDCALL FixedSize(const uint8_t*, uint32_t, uint32_t* w, uint32_t* h) {
  *w = 704;
  *h = 576;
  return 1;
}

const Recorded& Stream(const benchmark::State& state) {
  return StreamOf(state, [](Recorded* r, int second) {
    uint32_t seed = uint32_t(3 + second);
    for (int frame = 0; frame < 25; ++frame) {
      std::vector<uint8_t> data;
      if (frame == 0) data = {0, 0, 1, 0xB0, 1, 0, 0, 1, 0xB5, 9, 0, 0, 1, 0, 0, 0, 1, 0x20, 8};
      data.insert(data.end(), {0, 0, 1, 0xB6, uint8_t(frame == 0 ? 0x10 : 0x50)});
      Noise(&data, frame == 0 ? 40000 : 8000, &seed);
      for (size_t at = 0; at < data.size(); at += kMtu) {
        const size_t n = std::min(kMtu, data.size() - at);
        r->Add(std::vector<uint8_t>(data.begin() + long(at), data.begin() + long(at + n)),
               at + n == data.size());
      }
    }
  });
}

void BM_Mpeg4Depacketize(benchmark::State& state) {
  Driver driver;
  Client client;
  CMpeg4RTPMediaParser parser(&driver, kSampleSourceName, &FixedSize);
  parser.SetClient(&client);
  RunParser(state, parser, client, Stream(state));
}
BENCHMARK(BM_Mpeg4Depacketize)->Apply(StreamSizes);

void BM_Mpeg4Memcpy(benchmark::State& state) { RunMemcpy(state, Stream(state)); }
BENCHMARK(BM_Mpeg4Memcpy)->Apply(StreamSizes);

void BM_Mpeg4MemcpyOnce(benchmark::State& state) { RunMemcpyOnce(state, Stream(state)); }
BENCHMARK(BM_Mpeg4MemcpyOnce)->Apply(StreamSizes);

}  // namespace

BENCHMARK_MAIN();
