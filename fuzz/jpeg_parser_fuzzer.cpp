// fuzz-module: media
// Packet sequences into the JPEG depacketizer, as media_fuzz_host.h reads them.
#include "media/jpeg_rtp_media_parser.h"
#include "media_fuzz_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzhost::Depacketize<quenlix::CJpegRTPMediaParser>(data, size);
  return 0;
}
