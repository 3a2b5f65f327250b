// fuzz-module: platform
// The PE version reader takes whole files from disk that anyone may have put
// on the library path; it must stay inside the given bytes for any input.
#include <vector>

#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy, so that any read past the end is caught.
  std::vector<uint8_t> image(data, data + size);
  uint16_t version[4] = {};
  quenlix::platform::ReadPeFileVersion(image.data(), image.size(), version);
  return 0;
}
