#include "media/jpeg_rtp_media_parser.h"

#include <algorithm>
#include <cstring>

#include "media/jpeg_headers.h"
#include "media/sample_contract.h"
#include "platform/byte_cursor.h"

namespace quenlix {

namespace {

// Main header: type-specific byte, fragment offset (3), type, Q, width and
// height in units of 8 pixels.
constexpr size_t kMainHeaderSize = 8;
constexpr size_t kTypeSpecificSize = 1;
constexpr size_t kTypeOffset = 4;
constexpr uint32_t kDimensionUnit = 8;
// Types 64-127 carry a restart marker header after the main header: the
// interval, then the first and last bits and a count.
constexpr uint8_t kRestartTypesFrom = 64;
constexpr uint8_t kRestartTypesTo = 127;
constexpr size_t kRestartHeaderSize = 4;
constexpr size_t kRestartCountSize = 2;
// Quantization table header: one byte that must be zero, the precision and
// the tables' length.
constexpr uint8_t kInBandTablesFrom = 128;
constexpr size_t kQuantMbzSize = 1;
constexpr size_t kInBandTablesSize = 2 * CJpegHeaders::kTableSize;
constexpr size_t kMaxFrameSize = 512000;

bool HasRestartHeader(uint8_t type) { return type >= kRestartTypesFrom && type <= kRestartTypesTo; }

// Bytes in front of the scan data in a packet that continues a frame.
size_t ContinuationHeaderSize(uint8_t type) {
  return kMainHeaderSize + (HasRestartHeader(type) ? kRestartHeaderSize : 0);
}

}  // namespace

CJpegRTPMediaParser::CJpegRTPMediaParser(IDriver* driver, const char* sourceName)
    : CRTPMediaParser(driver, sourceName) {}

CJpegRTPMediaParser::~CJpegRTPMediaParser() = default;

void CJpegRTPMediaParser::Reset() {
  Discard();
  frameStart = true;
  width = 0;
  height = 0;
  firstPacketSize = 0;
  timeConverter.Reset();
  ResetSequence();
}

void CJpegRTPMediaParser::HandlePacket(const RTPPacket& packet, bool afterGap) {
  try {
    if (afterGap) {
      // Pictures stand alone: only the one with the hole is lost.
      Drop(kDropSequenceGap);
      if (StartsPicture(packet)) frameStart = true;
    }
    if (discarding && frameStart) discarding = false;
    const uint8_t* p = nullptr;
    size_t n = 0;
    // Checked after the frame-start test, so that a first packet whose
    // padding cannot be right drops its frame instead of starting one.
    if (!PayloadOf(packet, &p, &n)) Drop(kDropMalformed);
    if (!discarding) Append(p, n);
    if (packet.marker) {
      frameStart = true;
      if (!discarding) EmitFrame(packet.timestamp);
      frame.clear();
    } else {
      frameStart = false;
    }
  } catch (...) {
    Discard();
  }
}

bool CJpegRTPMediaParser::StartsPicture(const RTPPacket& packet) {
  // After a lost end of picture the next one is known by its offset 0.
  const uint8_t* p = nullptr;
  size_t n = 0;
  if (!PayloadOf(packet, &p, &n) || n < kMainHeaderSize) return false;
  ByteReader header(p, n);
  header.Skip(kTypeSpecificSize);
  return header.U24() == 0;
}

void CJpegRTPMediaParser::Append(const uint8_t* p, size_t n) {
  if (frameStart) {
    frame.assign(p, p + n);
    firstPacketSize = n;
  } else if (n > kMainHeaderSize) {
    // Each packet carries its own main header; continuations no longer than
    // their headers carry no scan data.
    const size_t skip = ContinuationHeaderSize(p[kTypeOffset]);
    if (n > skip) frame.insert(frame.end(), p + skip, p + n);
  }
  if (frame.size() > kMaxFrameSize) Drop(kDropOversize);
}

size_t CJpegRTPMediaParser::WriteFrame(uint8_t* out) {
  // The first packet's headers must all be there before anything is read.
  ByteReader in(frame.data(), std::min(firstPacketSize, frame.size()));
  in.Skip(kTypeOffset);
  const uint8_t type = in.U8();
  const uint8_t q = in.U8();
  const uint8_t width8 = in.U8();
  const uint8_t height8 = in.U8();
  if (!in.ok()) return 0;
  width = kDimensionUnit * width8;
  height = kDimensionUnit * height8;
  // A picture without an extent cannot be decoded; do not pass it on as one.
  if (width == 0 || height == 0) return 0;

  uint16_t restartInterval = 0;
  if (HasRestartHeader(type)) {
    restartInterval = in.U16();
    in.Skip(kRestartCountSize);
    if (!in.ok()) return 0;
  }

  uint8_t luma[CJpegHeaders::kTableSize];
  uint8_t chroma[CJpegHeaders::kTableSize];
  if (q < kInBandTablesFrom) {
    CJpegHeaders::ComputeTables(q, luma, chroma);
  } else {
    in.Skip(kQuantMbzSize);
    const uint8_t precision = in.U8();
    const size_t tablesLength = in.U16();
    if (!in.ok()) return 0;
    // Only 8-bit tables can be written as DQT segments here. A single table
    // serves all components, as many encoders make it.
    if (precision != 0 || tablesLength < CJpegHeaders::kTableSize) return 0;
    const uint8_t* tables = in.Take(tablesLength);
    if (tables == nullptr) return 0;
    const size_t chromaAt = tablesLength >= kInBandTablesSize ? CJpegHeaders::kTableSize : 0;
    std::memcpy(luma, tables, CJpegHeaders::kTableSize);
    std::memcpy(chroma, tables + chromaAt, CJpegHeaders::kTableSize);
  }

  // Type 0 (and its restart variant 64) is 4:2:2, the others 4:2:0.
  const bool twoByOne = (type & ~kRestartTypesFrom) == 0;
  const size_t headers =
      CJpegHeaders::Write(out, twoByOne, width, height, luma, chroma, restartInterval);
  const size_t scan = frame.size() - in.Offset();
  std::memcpy(out + headers, frame.data() + in.Offset(), scan);
  return headers + scan;
}

void CJpegRTPMediaParser::EmitFrame(uint32_t rtpTime) {
  if (!CanDeliver()) return;
  timeConverter.Update(rtpTime);
  Deliver(kTypeJPEG, JpegCapacity(uint32_t(frame.size())));
}

}  // namespace quenlix
