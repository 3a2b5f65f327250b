// The capability record of one camera, as the capability query hands it to
// the host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quenlix {

// Codec codes in CCameraProperties::codecs.
enum CodecCode : uint32_t {
  CodecMjpeg = 1,
  CodecJpeg = 2,  // accepted as MJPEG on hand-over
  CodecMpeg4 = 4,
  CodecH264 = 16,
};

struct RESOLUTION_ENTRY {
  uint16_t width = 0;
  uint16_t height = 0;
  std::vector<uint32_t> frameIntervals;  // milliseconds
};

class CCameraProperties {
 public:
  virtual ~CCameraProperties() = default;

  std::vector<uint32_t> codecs;
  std::vector<RESOLUTION_ENTRY> resolutions;
  std::string brand;
  std::string modelName;
  uint32_t propertiesRead = 0;
  uint32_t inputCount = 0;
  uint32_t outputCount = 0;
  bool hasAudio = false;
  bool flagId11 = false;
  bool flagId12 = false;
};

}  // namespace quenlix
