// fuzz-module: media
// Packet sequences into the MPEG-4 depacketizer, as media_fuzz_host.h reads
// them, with the real header reader.
#include "media/mpeg4_rtp_media_parser.h"
#include "media_fuzz_host.h"
// The header library's source, built in rather than loaded.
#include "../kelvardec/kelvardec.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzhost::Depacketize<quenlix::CMpeg4RTPMediaParser>(data, size, &ParseMpegHeader);
  return 0;
}
