// The JPEG headers that the RTP payload leaves out, rebuilt from the few
// fields it carries.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quenlix {

class CJpegHeaders {
 public:
  static constexpr size_t kTableSize = 64;
  // SOI, two DQT, SOF0, four DHT and SOS.
  static constexpr size_t kBaseSize = 605;
  // DRI, when the stream uses restart markers.
  static constexpr size_t kRestartSegmentSize = 6;

  // Luminance and chrominance tables for Q below 128, in zig-zag order.
  static void ComputeTables(uint8_t q, uint8_t luma[kTableSize], uint8_t chroma[kTableSize]);

  // Writes the headers into out (room for kBaseSize + kRestartSegmentSize)
  // and returns their length. restartInterval 0 writes no DRI.
  static size_t Write(uint8_t* out, bool twoByOne, uint32_t width, uint32_t height,
                      const uint8_t luma[kTableSize], const uint8_t chroma[kTableSize],
                      uint16_t restartInterval);
};

}  // namespace quenlix
