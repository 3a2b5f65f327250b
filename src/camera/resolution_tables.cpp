#include "camera/resolution_tables.h"

#include <cstring>

namespace quenlix {

namespace {

// Walked in this order: by width, then height.
constexpr RESOLUTION_NAME kPalTable[kResolutionNameCount] = {
    {"qcif", 176, 144}, {"qvga", 320, 240},  {"cif", 352, 288},      {"vga", 640, 480},
    {"d1", 720, 576},   {"720p", 1280, 720}, {"quadvga", 1280, 960}, {"1080p", 1920, 1080},
};

constexpr RESOLUTION_NAME kNtscTable[kResolutionNameCount] = {
    {"qcif", 176, 120}, {"qvga", 320, 240},  {"cif", 352, 240},      {"vga", 640, 480},
    {"d1", 720, 480},   {"720p", 1280, 720}, {"quadvga", 1280, 960}, {"1080p", 1920, 1080},
};

}  // namespace

const RESOLUTION_NAME* ResolutionTable(uint32_t videoStandard) {
  return videoStandard != VideoStandardPal ? kNtscTable : kPalTable;
}

const RESOLUTION_NAME* FindResolutionByName(uint32_t videoStandard, const char* name) {
  if (name == nullptr) return nullptr;
  const RESOLUTION_NAME* table = ResolutionTable(videoStandard);
  for (size_t i = 0; i < kResolutionNameCount; ++i) {
    if (std::strcmp(table[i].name, name) == 0) return &table[i];
  }
  return nullptr;
}

const RESOLUTION_NAME* FindResolutionBySize(uint32_t videoStandard, uint32_t width,
                                            uint32_t height) {
  const RESOLUTION_NAME* table = ResolutionTable(videoStandard);
  for (size_t i = 0; i < kResolutionNameCount; ++i) {
    if (table[i].width == width && table[i].height == height) return &table[i];
  }
  return nullptr;
}

}  // namespace quenlix
