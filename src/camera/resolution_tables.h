// The picture sizes the camera family names, per video standard, ordered by
// width and then height. Read-only; the codec channels use the same names.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quenlix {

struct RESOLUTION_NAME {
  const char* name;
  uint16_t width;
  uint16_t height;
};

enum VideoStandard : uint32_t {
  VideoStandardPal = 0,
  VideoStandardNtsc = 1,
};

constexpr size_t kResolutionNameCount = 8;

// The table for a video standard (anything non-zero is NTSC); always
// kResolutionNameCount entries.
const RESOLUTION_NAME* ResolutionTable(uint32_t videoStandard);

// The entry whose name is exactly name, or null.
const RESOLUTION_NAME* FindResolutionByName(uint32_t videoStandard, const char* name);

// The entry with exactly this size, or null.
const RESOLUTION_NAME* FindResolutionBySize(uint32_t videoStandard, uint32_t width,
                                            uint32_t height);

}  // namespace quenlix
