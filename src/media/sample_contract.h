// How a depacketizer sizes and classifies the host's samples.
#pragma once

#include <cstdint>

namespace quenlix {

// Every sample names the driver as its source.
constexpr const char kSampleSourceName[] = "TavrikIPCapture";

// Room the JPEG depacketizer needs beyond the scan data for its headers.
constexpr uint32_t kJpegHeaderRoom = 1024;
// Extra room every H.264 sample gets beyond its stepped size.
constexpr uint32_t kH264ExtraRoom = 40960;

// 3 for half-height pictures (such as 704 x 288), else 4 above 400 pixels
// wide, else 2.
constexpr uint32_t SizeClass(uint32_t width, uint32_t height) {
  if (width < 1024 && uint64_t(width) > 2ull * height) return 3;
  return width > 400 ? 4 : 2;
}

// Keeps the host's sample pool to a few sizes for small frames.
constexpr uint32_t SteppedSize(uint32_t size) {
  if (size <= 4096) return 4096;
  if (size <= 16384) return 16384;
  if (size <= 32768) return 32768;
  if (size <= 131072) return 131072;
  return size;
}

constexpr uint32_t H264Capacity(uint32_t frameLength) {
  return SteppedSize(frameLength) + kH264ExtraRoom;
}
constexpr uint32_t JpegCapacity(uint32_t frameLength) { return frameLength + kJpegHeaderRoom; }
constexpr uint32_t Mpeg4Capacity(uint32_t frameLength) { return SteppedSize(frameLength); }

}  // namespace quenlix
