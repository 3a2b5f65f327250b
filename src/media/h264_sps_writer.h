// A baseline sequence parameter set for a given picture size, for cameras
// that send IDR slices without one.
#pragma once

#include <cstdint>
#include <vector>

namespace quenlix {

class CH264SpsWriter {
 public:
  // The picture parameter set that goes with every SPS built here.
  static const std::vector<uint8_t>& FixedPps();

  // The SPS NAL unit (header byte first, no start code) for width x height;
  // empty when the size is 0 or absurdly large.
  static std::vector<uint8_t> BuildSps(uint32_t width, uint32_t height);

 private:
  void PutBit(uint32_t bit);
  void PutBits(uint32_t value, uint32_t count);
  void PutUe(uint32_t value);
  void PutTrailingBits();
  void PutByte(uint8_t byte);

  std::vector<uint8_t> out;
  uint32_t pending = 0;
  uint32_t pendingBits = 0;
  uint32_t zeroRun = 0;
};

}  // namespace quenlix
