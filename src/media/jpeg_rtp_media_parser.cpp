#include "media/jpeg_rtp_media_parser.h"

#include <algorithm>
#include <cstring>

#include "media/jpeg_headers.h"
#include "media/sample_contract.h"

namespace quenlix {

namespace {

constexpr size_t kMainHeaderSize = 8;
constexpr size_t kOffsetOffset = 1;
constexpr size_t kTypeOffset = 4;
constexpr size_t kQOffset = 5;
constexpr size_t kWidthOffset = 6;
constexpr size_t kHeightOffset = 7;
constexpr uint32_t kDimensionUnit = 8;
// Types 64-127 carry a restart marker header after the main header.
constexpr uint8_t kRestartTypesFrom = 64;
constexpr uint8_t kRestartTypesTo = 127;
constexpr size_t kRestartHeaderSize = 4;
constexpr uint8_t kInBandTablesFrom = 128;
constexpr size_t kQuantHeaderSize = 4;
constexpr size_t kInBandTablesSize = 2 * CJpegHeaders::kTableSize;
constexpr size_t kMaxFrameSize = 512000;

inline uint16_t ReadU16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

uint32_t ReadU24(const uint8_t* p) { return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2]; }

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
  discarding = true;
  frameStart = true;
  width = 0;
  height = 0;
  frame.clear();
  firstPacketSize = 0;
  timeConverter.Reset();
  ResetSequence();
}

void CJpegRTPMediaParser::HandlePacket(const RTPPacket& packet, bool afterGap) {
  try {
    if (afterGap) {
      // Pictures stand alone: only the one with the hole is lost.
      CountDrop(kDropSequenceGap);
      discarding = true;
      frame.clear();
      if (StartsPicture(packet)) frameStart = true;
    }
    if (discarding && frameStart) discarding = false;
    const uint8_t* p = nullptr;
    size_t n = 0;
    // Checked after the frame-start test, so that a first packet whose
    // padding cannot be right drops its frame instead of starting one.
    if (!PayloadOf(packet, &p, &n)) {
      CountDrop(kDropMalformed);
      discarding = true;
      frame.clear();
    }
    if (!discarding) Append(p, n);
    if (packet.marker) {
      frameStart = true;
      if (!discarding) EmitFrame(packet.timestamp);
      frame.clear();
    } else {
      frameStart = false;
    }
  } catch (...) {
    discarding = true;
    frame.clear();
  }
}

bool CJpegRTPMediaParser::StartsPicture(const RTPPacket& packet) {
  // After a lost end of picture the next one is known by its offset 0.
  const uint8_t* p = nullptr;
  size_t n = 0;
  return PayloadOf(packet, &p, &n) && n >= kMainHeaderSize && ReadU24(p + kOffsetOffset) == 0;
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
  if (frame.size() > kMaxFrameSize) {
    CountDrop(kDropOversize);
    frame.clear();
    discarding = true;
  }
}

size_t CJpegRTPMediaParser::BuildPicture(uint8_t* out) {
  // The first packet's headers must all be there before anything is read.
  const size_t first = std::min(firstPacketSize, frame.size());
  if (first < kMainHeaderSize) return 0;
  const uint8_t type = frame[kTypeOffset];
  const uint8_t q = frame[kQOffset];
  width = kDimensionUnit * frame[kWidthOffset];
  height = kDimensionUnit * frame[kHeightOffset];
  // A picture without an extent cannot be decoded; do not pass it on as one.
  if (width == 0 || height == 0) return 0;

  size_t at = kMainHeaderSize;
  uint16_t restartInterval = 0;
  if (HasRestartHeader(type)) {
    if (first < at + kRestartHeaderSize) return 0;
    restartInterval = ReadU16(&frame[at]);
    at += kRestartHeaderSize;
  }

  uint8_t luma[CJpegHeaders::kTableSize];
  uint8_t chroma[CJpegHeaders::kTableSize];
  if (q < kInBandTablesFrom) {
    CJpegHeaders::ComputeTables(q, luma, chroma);
  } else {
    if (first < at + kQuantHeaderSize) return 0;
    const uint8_t precision = frame[at + 1];
    const size_t tablesLength = ReadU16(&frame[at + 2]);
    at += kQuantHeaderSize;
    // Only 8-bit tables can be written as DQT segments here. A single table
    // serves all components, as many encoders make it.
    if (precision != 0 || tablesLength < CJpegHeaders::kTableSize) return 0;
    if (first < at + tablesLength) return 0;
    const size_t chromaAt = tablesLength >= kInBandTablesSize ? CJpegHeaders::kTableSize : 0;
    std::memcpy(luma, &frame[at], CJpegHeaders::kTableSize);
    std::memcpy(chroma, &frame[at + chromaAt], CJpegHeaders::kTableSize);
    at += tablesLength;
  }

  // Type 0 (and its restart variant 64) is 4:2:2, the others 4:2:0.
  const bool twoByOne = (type & ~kRestartTypesFrom) == 0;
  const size_t headers =
      CJpegHeaders::Write(out, twoByOne, width, height, luma, chroma, restartInterval);
  const size_t scan = frame.size() - at;
  std::memcpy(out + headers, frame.data() + at, scan);
  return headers + scan;
}

void CJpegRTPMediaParser::EmitFrame(uint32_t rtpTime) {
  ISampleAllocator* allocator = GetAllocator();
  if (allocator == nullptr || client == nullptr) return;
  timeConverter.Update(rtpTime);
  const uint32_t length = uint32_t(frame.size());
  IMediaSample* sample = allocator->Allocate(kTypeJPEG, JpegCapacity(length), sourceName.c_str());
  if (sample == nullptr) return;
  uint8_t* buffer = sample->GetBuffer();
  const size_t picture = buffer != nullptr ? BuildPicture(buffer) : 0;
  if (picture != 0) {
    FillSample(sample, uint32_t(picture), 0);
    HandToClient(sample);  // a refused picture changes nothing here
  } else if (buffer != nullptr) {
    CountDrop(kDropMalformed);
  }
  allocator->Release(sample);
}

}  // namespace quenlix
