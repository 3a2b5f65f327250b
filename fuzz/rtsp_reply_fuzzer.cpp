// fuzz-module: rtsp
// One parser fed a sequence of replies, as a client's parser is: the input is
// split at NUL bytes, the first byte of each piece picks the request method.
#include <cstddef>
#include <cstdint>
#include <string>

#include "rtsp/rtsp_response_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quenlix::CRTSPResponseParser parser;
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  while (start < input.size()) {
    size_t end = input.find('\0', start);
    if (end == std::string::npos) end = input.size();
    const std::string piece = input.substr(start, end - start);
    if (!piece.empty()) {
      const int method = 1 + static_cast<unsigned char>(piece[0]) % 5;
      parser.Parse(piece.substr(1), method);
    }
    start = end + 1;
  }
  // Parameter sets are bounded per line; a runaway means a broken bound.
  if (parser.sps.size() > size || parser.pps.size() > size) __builtin_trap();
  return 0;
}
