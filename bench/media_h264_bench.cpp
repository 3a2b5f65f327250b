// bench-module: media
// H.264 depacketizing of a packet sequence made up front (seconds of a 720p
// stream: an IDR of 80 kB with its parameter sets, then P frames of 15 kB,
// all as FU-A at 1400 bytes), beside memcpy of the same bytes; one second
// held in the cache, and a replay larger than the cache.
#include "media/h264_rtp_media_parser.h"
#include "media/h264_sps_writer.h"
#include "media/sample_contract.h"
#include "media_bench_host.h"

namespace {

using namespace quenlix;
using namespace quenlix::bench;

constexpr size_t kMtu = 1400;

void AddNal(Recorded* rec, const std::vector<uint8_t>& nal, bool lastOfFrame) {
  if (nal.size() <= kMtu) {
    rec->Add(nal, lastOfFrame);
    return;
  }
  for (size_t at = 1; at < nal.size(); at += kMtu - 2) {
    const size_t n = std::min(kMtu - 2, nal.size() - at);
    std::vector<uint8_t> p = {uint8_t((nal[0] & 0xE0) | 28), uint8_t(nal[0] & 0x1F)};
    if (at == 1) p[1] |= 0x80;
    if (at + n == nal.size()) p[1] |= 0x40;
    p.insert(p.end(), nal.begin() + long(at), nal.begin() + long(at + n));
    rec->Add(std::move(p), lastOfFrame && at + n == nal.size());
  }
}

const Recorded& Stream(const benchmark::State& state) {
  return StreamOf(state, [](Recorded* r, int second) {
    uint32_t seed = uint32_t(1 + second);
    for (int frame = 0; frame < 25; ++frame) {
      std::vector<uint8_t> slice;
      if (frame == 0) {
        AddNal(r, CH264SpsWriter::BuildSps(1280, 720), false);
        AddNal(r, CH264SpsWriter::FixedPps(), false);
        slice.push_back(0x65);
        Noise(&slice, 80000, &seed);
      } else {
        slice.push_back(0x41);
        Noise(&slice, 15000, &seed);
      }
      AddNal(r, slice, true);
    }
  });
}

void BM_H264Depacketize(benchmark::State& state) {
  Driver driver;
  Client client;
  CH264RTPMediaParser parser(&driver, kSampleSourceName);
  parser.SetClient(&client);
  parser.SetParameterSets(CH264SpsWriter::BuildSps(1280, 720), CH264SpsWriter::FixedPps());
  RunParser(state, parser, client, Stream(state));
}
BENCHMARK(BM_H264Depacketize)->Apply(StreamSizes);

void BM_H264Memcpy(benchmark::State& state) { RunMemcpy(state, Stream(state)); }
BENCHMARK(BM_H264Memcpy)->Apply(StreamSizes);

void BM_H264MemcpyOnce(benchmark::State& state) { RunMemcpyOnce(state, Stream(state)); }
BENCHMARK(BM_H264MemcpyOnce)->Apply(StreamSizes);

}  // namespace

BENCHMARK_MAIN();
