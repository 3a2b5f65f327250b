// fuzz-module: media
// Packet sequences into the H.264 depacketizer. Input: the frame size (2
// bytes), optional parameter sets ([sps length][sps][pps length][pps]), then
// records as media_fuzz_host.h reads them.
#include "media/h264_rtp_media_parser.h"
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
  const auto take = [&] {
    std::vector<uint8_t> bytes;
    if (at < size) {
      const size_t n = std::min<size_t>(data[at], size - at - 1);
      bytes.assign(data + at + 1, data + at + 1 + n);
      at += 1 + n;
    }
    return bytes;
  };
  if (at < size) {
    const std::vector<uint8_t> sps = take();
    parser.SetParameterSets(sps, take());
  }
  FeedPackets(parser, data, size, at);
  return 0;
}
