// fuzz-module: media
// Packet sequences into the MPEG-4 depacketizer, with the real header reader. Input: records of
// [flags][length 2][payload]; flags bit 0 marker, bit 1 padding, bit 2 a
// sequence jump, bit 3 a Reset first.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "media/mpeg4_rtp_media_parser.h"
#include "media/sample_contract.h"
#include "media_fuzz_host.h"
// The header library's source, built in rather than loaded.
#include "../kelvardec/kelvardec.cpp"

using namespace fuzzhost;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Driver driver;
  Client client;
  CMpeg4RTPMediaParser parser(&driver, kSampleSourceName, &ParseMpegHeader);
  parser.SetClient(&client);
  FeedPackets(parser, data, size, 0);
  return 0;
}
