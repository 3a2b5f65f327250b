#include "media/h264_sps_writer.h"

namespace quenlix {

namespace {

constexpr uint8_t kSpsNalHeader = 0x67;  // nal_ref_idc 3, type 7
constexpr uint32_t kBaselineProfile = 66;
constexpr uint32_t kConstraintSet0 = 0x80;  // with the other flags and reserved bits 0
constexpr uint32_t kLevel40 = 40;
constexpr uint32_t kPicOrderCntType = 2;
constexpr uint32_t kMbSize = 16;
constexpr uint32_t kMaxSide = 16384;
constexpr uint8_t kEmulationPrevention = 0x03;

}  // namespace

const std::vector<uint8_t>& CH264SpsWriter::FixedPps() {
  static const std::vector<uint8_t> pps = {0x68, 0xCE, 0x3C, 0x80};
  return pps;
}

void CH264SpsWriter::PutByte(uint8_t byte) {
  if (zeroRun >= 2) {
    out.push_back(kEmulationPrevention);
    zeroRun = 0;
  }
  out.push_back(byte);
  zeroRun = byte == 0 ? zeroRun + 1 : 0;
}

void CH264SpsWriter::PutBit(uint32_t bit) {
  pending = pending << 1 | (bit & 1u);
  if (++pendingBits == 8) {
    PutByte(uint8_t(pending));
    pending = 0;
    pendingBits = 0;
  }
}

void CH264SpsWriter::PutBits(uint32_t value, uint32_t count) {
  for (uint32_t i = count; i > 0; --i) PutBit(value >> (i - 1));
}

void CH264SpsWriter::PutUe(uint32_t value) {
  const uint64_t coded = uint64_t(value) + 1;
  uint32_t bits = 0;
  while ((coded >> bits) > 1) ++bits;
  PutBits(0, bits);
  for (uint32_t i = bits + 1; i > 0; --i) PutBit(uint32_t(coded >> (i - 1)));
}

void CH264SpsWriter::PutTrailingBits() {
  PutBit(1);
  while (pendingBits != 0) PutBit(0);
}

std::vector<uint8_t> CH264SpsWriter::BuildSps(uint32_t width, uint32_t height) {
  if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return {};
  // Rounded up so that the coded picture always covers the requested one;
  // the surplus is cropped away.
  const uint32_t mw = (width + kMbSize - 1) / kMbSize;
  const uint32_t mh = (height + kMbSize - 1) / kMbSize;
  const bool cropped = mw * kMbSize != width || mh * kMbSize != height;

  CH264SpsWriter w;
  w.out.push_back(kSpsNalHeader);
  w.PutBits(kBaselineProfile, 8);
  w.PutBits(kConstraintSet0, 8);
  w.PutBits(kLevel40, 8);
  w.PutUe(0);  // seq_parameter_set_id
  w.PutUe(0);  // log2_max_frame_num_minus4
  w.PutUe(kPicOrderCntType);
  w.PutUe(1);   // max_num_ref_frames
  w.PutBit(0);  // gaps_in_frame_num_value_allowed_flag
  w.PutUe(mw - 1);
  w.PutUe(mh - 1);
  w.PutBit(1);  // frame_mbs_only_flag
  w.PutBit(0);  // direct_8x8_inference_flag
  w.PutBit(cropped ? 1 : 0);
  if (cropped) {
    // 4:2:0 frames crop in units of two samples.
    w.PutUe(0);
    w.PutUe((mw * kMbSize - width) / 2);
    w.PutUe(0);
    w.PutUe((mh * kMbSize - height) / 2);
  }
  w.PutBit(0);  // vui_parameters_present_flag
  w.PutTrailingBits();
  return w.out;
}

}  // namespace quenlix
