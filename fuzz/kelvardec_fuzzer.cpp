// fuzz-module: media
// The header library's reader on arbitrary key frames.
#include <vector>

#include "../kelvardec/kelvardec.cpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the input's bytes, so that any overread is caught.
  const std::vector<uint8_t> copy(data, data + size);
  uint32_t w = 0, h = 0;
  ParseMpegHeader(copy.empty() ? nullptr : copy.data(), uint32_t(copy.size()), &w, &h);
  return 0;
}
