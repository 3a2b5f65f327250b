// fuzz-module: media
// The SPS reader on arbitrary frames and NAL units, and the writer's output
// read back for the sizes the input names.
#include <cstdlib>
#include <vector>

#include "media/h264_sps_reader.h"
#include "media/h264_sps_writer.h"

using quenlix::CH264SpsReader;
using quenlix::CH264SpsWriter;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly the input's bytes, so that any overread is caught.
  const std::vector<uint8_t> copy(data, data + size);
  uint32_t w = 0, h = 0;
  CH264SpsReader::ReadPictureSize(copy.data(), copy.size(), &w, &h);
  CH264SpsReader::ReadNalUnit(copy.data(), copy.size(), &w, &h);
  if (size >= 4) {
    const uint32_t width = uint32_t(data[0]) << 8 | data[1];
    const uint32_t height = uint32_t(data[2]) << 8 | data[3];
    const std::vector<uint8_t> sps = CH264SpsWriter::BuildSps(width, height);
    if (!sps.empty()) {
      if (sps.size() > 64) std::abort();
      if (!CH264SpsReader::ReadNalUnit(sps.data(), sps.size(), &w, &h)) std::abort();
      if (w != (width + 15) / 16 * 16 || h != (height + 15) / 16 * 16) std::abort();
    }
  }
  return 0;
}
