// fuzz-module: rtsp
// One parser fed a sequence of replies, as a client's parser is: the input is
// split at NUL bytes, the first byte of each piece picks the request method.
#include <sstream>
#include <string>

#include "rtsp/rtsp_response_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quenlix::CRTSPResponseParser parser;
  std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
  for (std::string piece; std::getline(input, piece, '\0');) {
    if (!piece.empty()) parser.Parse(piece.substr(1), 1 + static_cast<unsigned char>(piece[0]) % 5);
  }
  // Parameter sets are bounded per line; a runaway means a broken bound.
  if (parser.sps.size() > size || parser.pps.size() > size) __builtin_trap();
  return 0;
}
