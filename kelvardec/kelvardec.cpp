#include "kelvardec.h"

#include <cstddef>

namespace {

// video_object_layer_start_code is 00 00 01 20 .. 00 00 01 2F.
constexpr uint8_t kVolStartFirst = 0x20;
constexpr uint8_t kVolStartLast = 0x2F;
constexpr uint32_t kExtendedPar = 0xF;
constexpr uint32_t kShapeRectangular = 0;
constexpr uint32_t kShapeGrayscale = 3;
constexpr uint32_t kVeridFirst = 1;

class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size) : data(data), size(size) {}

  uint32_t Bits(uint32_t count) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < count; ++i) value = value << 1 | Bit();
    return value;
  }
  uint32_t Bit() {
    if (pos >= size * 8) {
      overrun = true;
      return 0;
    }
    const uint32_t bit = (data[pos / 8] >> (7 - pos % 8)) & 1u;
    ++pos;
    return bit;
  }
  // Marker bits are always 1; a 0 means this is not a real header.
  void Marker() {
    if (Bit() != 1) broken = true;
  }
  bool Ok() const { return !overrun && !broken; }

 private:
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  bool overrun = false;
  bool broken = false;
};

// Bits needed for values 0 .. resolution - 1, at least one.
uint32_t TimeIncrementBits(uint32_t resolution) {
  uint32_t bits = 1;
  while (bits < 16 && (1u << bits) < resolution) ++bits;
  return bits;
}

bool ReadVol(const uint8_t* p, size_t n, uint32_t* width, uint32_t* height) {
  BitReader r(p, n);
  r.Bit();    // random_accessible_vol
  r.Bits(8);  // video_object_type_indication
  uint32_t verid = kVeridFirst;
  if (r.Bit()) {  // is_object_layer_identifier
    verid = r.Bits(4);
    r.Bits(3);  // video_object_layer_priority
  }
  if (r.Bits(4) == kExtendedPar) r.Bits(16);  // par_width, par_height
  if (r.Bit()) {                              // vol_control_parameters
    r.Bits(2);                                // chroma_format
    r.Bit();                                  // low_delay
    if (r.Bit()) {                            // vbv_parameters
      r.Bits(15);
      r.Marker();
      r.Bits(15);
      r.Marker();
      r.Bits(15);
      r.Marker();
      r.Bits(3);
      r.Bits(11);
      r.Marker();
      r.Bits(15);
      r.Marker();
    }
  }
  const uint32_t shape = r.Bits(2);
  if (shape == kShapeGrayscale && verid != kVeridFirst) r.Bits(4);
  r.Marker();
  const uint32_t resolution = r.Bits(16);
  r.Marker();
  if (r.Bit()) r.Bits(TimeIncrementBits(resolution));  // fixed_vop_time_increment
  // Only rectangular layers carry a size.
  if (shape != kShapeRectangular) return false;
  r.Marker();
  const uint32_t w = r.Bits(13);
  r.Marker();
  const uint32_t h = r.Bits(13);
  r.Marker();
  if (!r.Ok() || resolution == 0 || w == 0 || h == 0) return false;
  *width = w;
  *height = h;
  return true;
}

}  // namespace

extern "C" int32_t QUENLIX_STDCALL ParseMpegHeader(const uint8_t* data, uint32_t length,
                                                   uint32_t* width, uint32_t* height) {
  if (data == nullptr || width == nullptr || height == nullptr) return 0;
  const size_t n = length;
  for (size_t i = 0; i + 4 < n; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    if (data[i + 3] < kVolStartFirst || data[i + 3] > kVolStartLast) continue;
    if (ReadVol(data + i + 4, n - (i + 4), width, height)) return 1;
  }
  return 0;
}
