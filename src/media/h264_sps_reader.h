// Picture size from an H.264 sequence parameter set.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quenlix {

class CH264SpsReader {
 public:
  // Finds the first 00 00 01 start code followed by an SPS NAL unit in
  // data[0..size) and reads its coded picture size (no cropping applied).
  // False when there is none or it ends before the size fields.
  static bool ReadPictureSize(const uint8_t* data, size_t size, uint32_t* width, uint32_t* height);

  // The same for one SPS NAL unit (header byte first, no start code).
  static bool ReadNalUnit(const uint8_t* nal, size_t size, uint32_t* width, uint32_t* height);

 private:
  CH264SpsReader(const uint8_t* data, size_t size) : data(data), size(size) {}

  bool ReadSize(uint32_t* width, uint32_t* height);
  bool SkipScalingList(uint32_t entries);
  uint32_t ReadBit();
  uint32_t ReadBits(uint32_t count);
  uint32_t ReadUe();
  int32_t ReadSe();

  const uint8_t* data;
  size_t size;
  size_t bytePos = 0;
  uint32_t bitPos = 0;
  // Zero bytes just read, to drop emulation-prevention bytes (00 00 03).
  uint32_t zeroRun = 0;
  bool overrun = false;
  bool invalid = false;
};

}  // namespace quenlix
