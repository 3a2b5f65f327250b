#include "media/h264_sps_reader.h"

namespace quenlix {

namespace {

constexpr uint8_t kNalTypeMask = 0x1F;
constexpr uint8_t kNalTypeSps = 7;
constexpr uint32_t kHighProfilesFrom = 100;
// CAVLC 4:4:4 Intra carries the chroma fields too, below 100.
constexpr uint32_t kCavlc444Profile = 44;
constexpr uint32_t kChroma444 = 3;
constexpr uint32_t kMaxPocCycle = 255;
// Far beyond any level's picture; keeps the size arithmetic in range.
constexpr uint32_t kMaxMbsPerSide = 4096;
constexpr uint32_t kMbSize = 16;

// A start code ends a NAL unit: 00 00 00 or 00 00 01 cannot occur inside one.
size_t NalEnd(const uint8_t* data, size_t from, size_t size) {
  for (size_t i = from; i + 2 < size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] <= 1) return i;
  }
  return size;
}

}  // namespace

bool CH264SpsReader::ReadPictureSize(const uint8_t* data, size_t size, uint32_t* width,
                                     uint32_t* height) {
  if (data == nullptr) return false;
  // A start code in the last three bytes has no NAL header after it.
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    if ((data[i + 3] & kNalTypeMask) != kNalTypeSps) continue;
    const size_t end = NalEnd(data, i + 4, size);
    return ReadNalUnit(data + i + 3, end - (i + 3), width, height);
  }
  return false;
}

bool CH264SpsReader::ReadNalUnit(const uint8_t* nal, size_t size, uint32_t* width,
                                 uint32_t* height) {
  if (nal == nullptr || size < 2 || (nal[0] & kNalTypeMask) != kNalTypeSps) return false;
  CH264SpsReader reader(nal + 1, size - 1);
  return reader.ReadSize(width, height);
}

uint32_t CH264SpsReader::ReadBit() {
  if (bytePos >= size) {
    overrun = true;
    return 1;  // reading on past the end sees 1 bits, which ends every ue()
  }
  if (bitPos == 0) {
    if (zeroRun >= 2 && data[bytePos] == 3) {
      ++bytePos;
      zeroRun = 0;
      if (bytePos >= size) {
        overrun = true;
        return 1;
      }
    }
    zeroRun = data[bytePos] == 0 ? zeroRun + 1 : 0;
  }
  const uint32_t bit = (data[bytePos] >> (7 - bitPos)) & 1u;
  if (++bitPos == 8) {
    bitPos = 0;
    ++bytePos;
  }
  return bit;
}

uint32_t CH264SpsReader::ReadBits(uint32_t count) {
  uint32_t value = 0;
  for (uint32_t i = 0; i < count; ++i) value = value << 1 | ReadBit();
  return value;
}

uint32_t CH264SpsReader::ReadUe() {
  uint32_t leadingZeros = 0;
  while (ReadBit() == 0) {
    if (++leadingZeros > 31) {
      invalid = true;
      return 0;
    }
  }
  if (leadingZeros == 0) return 0;
  return uint32_t((uint64_t(1) << leadingZeros) - 1 + ReadBits(leadingZeros));
}

int32_t CH264SpsReader::ReadSe() {
  const uint32_t k = ReadUe();
  const int64_t magnitude = (int64_t(k) + 1) / 2;
  return int32_t((k & 1u) ? magnitude : -magnitude);
}

bool CH264SpsReader::SkipScalingList(uint32_t entries) {
  int32_t lastScale = 8;
  int32_t nextScale = 8;
  for (uint32_t j = 0; j < entries && !overrun && !invalid; ++j) {
    if (nextScale != 0) {
      const int32_t delta = ReadSe();
      if (delta < -128 || delta > 127) return false;
      nextScale = (lastScale + delta + 256) % 256;
    }
    if (nextScale != 0) lastScale = nextScale;
  }
  return !overrun && !invalid;
}

bool CH264SpsReader::ReadSize(uint32_t* width, uint32_t* height) {
  const uint32_t profileIdc = ReadBits(8);
  ReadBits(4);  // constraint_set0..3
  ReadBits(4);  // reserved
  ReadBits(8);  // level_idc
  ReadUe();     // seq_parameter_set_id
  if (profileIdc >= kHighProfilesFrom || profileIdc == kCavlc444Profile) {
    const uint32_t chromaFormatIdc = ReadUe();
    if (chromaFormatIdc == kChroma444) ReadBit();  // separate_colour_plane_flag
    ReadUe();                                      // bit_depth_luma_minus8
    ReadUe();                                      // bit_depth_chroma_minus8
    ReadBit();                                     // qpprime_y_zero_transform_bypass_flag
    if (ReadBit() == 1) {                          // seq_scaling_matrix_present_flag
      // 4:4:4 carries four more 8x8 lists.
      const uint32_t lists = chromaFormatIdc == kChroma444 ? 12 : 8;
      for (uint32_t i = 0; i < lists; ++i) {
        if (ReadBit() == 1 && !SkipScalingList(i < 6 ? 16 : 64)) return false;
      }
    }
  }
  ReadUe();  // log2_max_frame_num_minus4
  const uint32_t picOrderCntType = ReadUe();
  if (picOrderCntType == 0) {
    ReadUe();  // log2_max_pic_order_cnt_lsb_minus4
  } else if (picOrderCntType == 1) {
    ReadBit();  // delta_pic_order_always_zero_flag
    ReadSe();   // offset_for_non_ref_pic
    ReadSe();   // offset_for_top_to_bottom_field
    const uint32_t cycle = ReadUe();
    if (cycle > kMaxPocCycle) return false;
    for (uint32_t i = 0; i < cycle && !overrun; ++i) ReadSe();
  }
  ReadUe();   // max_num_ref_frames
  ReadBit();  // gaps_in_frame_num_value_allowed_flag
  const uint32_t widthMbsMinus1 = ReadUe();
  const uint32_t heightMapUnitsMinus1 = ReadUe();
  const uint32_t frameMbsOnly = ReadBit();
  if (overrun || invalid) return false;
  if (widthMbsMinus1 >= kMaxMbsPerSide || heightMapUnitsMinus1 >= kMaxMbsPerSide) return false;
  *width = (widthMbsMinus1 + 1) * kMbSize;
  *height = (2 - frameMbsOnly) * (heightMapUnitsMinus1 + 1) * kMbSize;
  return true;
}

}  // namespace quenlix
