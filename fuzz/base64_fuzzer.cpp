// fuzz-module: rtsp
// Decoding into a buffer of a size taken from the input never writes past it;
// whatever is encoded decodes back unchanged.
#include <cstring>
#include <vector>

#include "rtsp/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t room = data[0];
  std::vector<uint8_t> out(room);
  size_t length = room;
  const bool ok =
      quenlix::Base64Decode(reinterpret_cast<const char*>(data + 1), size - 1, out.data(), &length);
  if (ok && length > room) __builtin_trap();

  std::vector<char> encoded(quenlix::Base64EncodedLength(size));
  size_t encodedLength = 0;
  if (!quenlix::Base64Encode(data, size, encoded.data(), encoded.size(), &encodedLength))
    __builtin_trap();
  std::vector<uint8_t> back(size);
  size_t backLength = size;
  if (!quenlix::Base64Decode(encoded.data(), encodedLength, back.data(), &backLength))
    __builtin_trap();
  if (backLength != size || std::memcmp(back.data(), data, size) != 0) __builtin_trap();
  return 0;
}
