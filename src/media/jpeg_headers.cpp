#include "media/jpeg_headers.h"

#include <cstring>

namespace quenlix {

namespace {

// The baseline example tables (luminance, chrominance), natural (row) order.
// clang-format off
constexpr uint8_t kLumaTable[64] = {
     16,  11,  10,  16,  24,  40,  51,  61,
     12,  12,  14,  19,  26,  58,  60,  55,
     14,  13,  16,  24,  40,  57,  69,  56,
     14,  17,  22,  29,  51,  87,  80,  62,
     18,  22,  37,  56,  68, 109, 103,  77,
     24,  35,  55,  64,  81, 104, 113,  92,
     49,  64,  78,  87, 103, 121, 120, 101,
     72,  92,  95,  98, 112, 100, 103,  99,
};
constexpr uint8_t kChromaTable[64] = {
     17,  18,  24,  47,  99,  99,  99,  99,
     18,  21,  26,  66,  99,  99,  99,  99,
     24,  26,  56,  99,  99,  99,  99,  99,
     47,  66,  99,  99,  99,  99,  99,  99,
     99,  99,  99,  99,  99,  99,  99,  99,
     99,  99,  99,  99,  99,  99,  99,  99,
     99,  99,  99,  99,  99,  99,  99,  99,
     99,  99,  99,  99,  99,  99,  99,  99,
};
// clang-format on
// Natural index of each zig-zag position.
constexpr uint8_t kZigZag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                 12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The baseline example Huffman tables: code counts per length, then values.
constexpr uint8_t kLumaDcCounts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr uint8_t kLumaDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr uint8_t kChromaDcCounts[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr uint8_t kChromaDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr uint8_t kLumaAcCounts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr uint8_t kLumaAcValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
constexpr uint8_t kChromaAcCounts[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr uint8_t kChromaAcValues[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

constexpr uint8_t kMarker = 0xFF;
constexpr uint8_t kSoi = 0xD8;
constexpr uint8_t kDqt = 0xDB;
constexpr uint8_t kSof0 = 0xC0;
constexpr uint8_t kDht = 0xC4;
constexpr uint8_t kDri = 0xDD;
constexpr uint8_t kSos = 0xDA;

class Writer {
 public:
  explicit Writer(uint8_t* out) : out(out) {}
  void Byte(uint8_t b) { out[at++] = b; }
  void U16(uint32_t v) {
    Byte(uint8_t(v >> 8));
    Byte(uint8_t(v));
  }
  void Bytes(const uint8_t* p, size_t n) {
    std::memcpy(out + at, p, n);
    at += n;
  }
  void Marker(uint8_t code) {
    Byte(kMarker);
    Byte(code);
  }
  size_t Size() const { return at; }

 private:
  uint8_t* out;
  size_t at = 0;
};

void WriteDqt(Writer& w, uint8_t id, const uint8_t table[64]) {
  w.Marker(kDqt);
  w.U16(2 + 1 + 64);
  w.Byte(id);  // 8-bit precision
  w.Bytes(table, 64);
}

void WriteDht(Writer& w, uint8_t classAndId, const uint8_t counts[16], const uint8_t* values,
              size_t valueCount) {
  w.Marker(kDht);
  w.U16(uint32_t(2 + 1 + 16 + valueCount));
  w.Byte(classAndId);
  w.Bytes(counts, 16);
  w.Bytes(values, valueCount);
}

uint8_t Scaled(uint8_t entry, int scale) {
  const int v = (entry * scale + 50) / 100;
  return uint8_t(v < 1 ? 1 : (v > 255 ? 255 : v));
}

}  // namespace

void CJpegHeaders::ComputeTables(uint8_t q, uint8_t luma[kTableSize], uint8_t chroma[kTableSize]) {
  const int factor = q < 1 ? 1 : (q > 99 ? 99 : q);
  const int scale = q < 50 ? 5000 / factor : 200 - 2 * factor;
  for (size_t i = 0; i < kTableSize; ++i) {
    luma[i] = Scaled(kLumaTable[kZigZag[i]], scale);
    chroma[i] = Scaled(kChromaTable[kZigZag[i]], scale);
  }
}

size_t CJpegHeaders::Write(uint8_t* out, bool twoByOne, uint32_t width, uint32_t height,
                           const uint8_t luma[kTableSize], const uint8_t chroma[kTableSize],
                           uint16_t restartInterval) {
  Writer w(out);
  w.Marker(kSoi);
  WriteDqt(w, 0, luma);
  WriteDqt(w, 1, chroma);

  w.Marker(kSof0);
  w.U16(17);
  w.Byte(8);
  w.U16(height);
  w.U16(width);
  w.Byte(3);
  w.Byte(0);
  w.Byte(twoByOne ? 0x21 : 0x22);
  w.Byte(0);
  w.Byte(1);
  w.Byte(0x11);
  w.Byte(1);
  w.Byte(2);
  w.Byte(0x11);
  w.Byte(1);

  WriteDht(w, 0x00, kLumaDcCounts, kLumaDcValues, sizeof kLumaDcValues);
  WriteDht(w, 0x10, kLumaAcCounts, kLumaAcValues, sizeof kLumaAcValues);
  WriteDht(w, 0x01, kChromaDcCounts, kChromaDcValues, sizeof kChromaDcValues);
  WriteDht(w, 0x11, kChromaAcCounts, kChromaAcValues, sizeof kChromaAcValues);

  if (restartInterval != 0) {
    w.Marker(kDri);
    w.U16(4);
    w.U16(restartInterval);
  }

  w.Marker(kSos);
  w.U16(12);
  w.Byte(3);
  w.Byte(0);
  w.Byte(0x00);
  w.Byte(1);
  w.Byte(0x11);
  w.Byte(2);
  w.Byte(0x11);
  w.Byte(0);
  w.Byte(63);
  w.Byte(0);
  return w.Size();
}

}  // namespace quenlix
