// fuzz-module: media
// Packet sequences into the H.264 depacketizer. Input: optional parameter
// sets, then records of [flags][length 2][payload]; flags bit 0 marker,
// bit 1 padding, bit 2 a sequence jump, bit 3 a Reset first.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "media/h264_rtp_media_parser.h"
#include "media/sample_contract.h"
#include "media_fuzz_host.h"

using namespace fuzzhost;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Driver driver;
  Client client;
  CH264RTPMediaParser parser(&driver, kSampleSourceName);
  parser.SetClient(&client);
  size_t at = 0;
  if (size >= 2) {
    client.size = {uint32_t(data[0]) * 16 + (data[1] & 15), uint32_t(data[1]) * 8};
    at = 2;
  }
  // Parameter sets: [sps length][sps][pps length][pps].
  if (at < size) {
    const size_t spsLen = std::min<size_t>(data[at], size - at - 1);
    ++at;
    std::vector<uint8_t> sps(data + at, data + at + spsLen);
    at += spsLen;
    size_t ppsLen = 0;
    if (at < size) {
      ppsLen = std::min<size_t>(data[at], size - at - 1);
      ++at;
    }
    std::vector<uint8_t> pps(data + at, data + at + ppsLen);
    at += ppsLen;
    parser.SetParameterSets(sps, pps);
  }
  FeedPackets(parser, data, size, at);
  return 0;
}
