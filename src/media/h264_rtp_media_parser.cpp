#include "media/h264_rtp_media_parser.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "media/h264_sps_reader.h"
#include "media/h264_sps_writer.h"
#include "media/sample_contract.h"

namespace quenlix {

namespace {

constexpr uint8_t kNalTypeMask = 0x1F;
constexpr uint8_t kNalNriMask = 0xE0;
constexpr uint8_t kNalIdr = 5;
constexpr uint8_t kNalSps = 7;
constexpr uint8_t kNalPps = 8;
constexpr uint8_t kStapA = 24;
constexpr uint8_t kFuA = 28;

constexpr size_t kStapAMinSize = 4;
constexpr size_t kStapAUnitSizeField = 2;
constexpr size_t kFuAHeaderSize = 2;
constexpr size_t kFuAMinSize = 3;
constexpr uint8_t kFuStartBit = 0x80;
constexpr uint8_t kFuEndBit = 0x40;
// Start fragment of an IDR slice with the end bit clear: where the stored
// parameter sets go in front.
constexpr uint8_t kFuIdrStart = 0x85;

constexpr uint8_t kStartCode[] = {0x00, 0x00, 0x01};
// An access unit delimiter closes every frame.
constexpr uint8_t kFrameTrailer[] = {0x00, 0x00, 0x01, 0x09, 0x30};
constexpr size_t kMaxFrameSize = 2097152;

inline uint16_t ReadU16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

bool IsKeyNalType(uint8_t type) { return type == kNalIdr || type == kNalSps || type == kNalPps; }

// Why a payload of this NAL type and length was refused. An FU-A long
// enough to read is refused only while no picture size or parameter set is
// known.
// fragmentWasOpen: a unit refused while a fragmented one was open ended
// that one with a hole.
DropReason RefusalReason(uint8_t type, size_t n, bool fragmentWasOpen) {
  if (n == 0 || fragmentWasOpen) return kDropMalformed;
  if (type == kStapA) return kDropMalformed;
  if (type == kFuA) return n < kFuAMinSize ? kDropMalformed : kDropNoParameterSets;
  return kDropUnsupportedPayload;
}

// Whether the frame in hand already carries an SPS. Start codes cannot occur
// inside NAL units, so every match is one.
bool HasSps(const std::vector<uint8_t>& frame) {
  for (size_t i = 0; i + 3 < frame.size(); ++i) {
    if (frame[i] == 0 && frame[i + 1] == 0 && frame[i + 2] == 1 &&
        (frame[i + 3] & kNalTypeMask) == kNalSps) {
      return true;
    }
  }
  return false;
}

}  // namespace

CH264RTPMediaParser::CH264RTPMediaParser(IDriver* driver, const char* sourceName)
    : CRTPMediaParser(driver, sourceName) {}

CH264RTPMediaParser::~CH264RTPMediaParser() { delete pendingSets.load(std::memory_order_acquire); }

void CH264RTPMediaParser::Reset() {
  TakePendingSets();
  discarding = true;
  keyNal = false;
  width = 0;
  height = 0;
  frame.clear();
  atFrameStart = true;
  unitIntact = true;
  fragmentOpen = false;
  timeConverter.Reset();
  ResetSequence();
}

void CH264RTPMediaParser::ParsePacket(const RTPPacket& packet) {
  // Nearly always null: a plain load, and the exchange only when sets came.
  if (pendingSets.load(std::memory_order_relaxed) != nullptr) TakePendingSets();
  CRTPMediaParser::ParsePacket(packet);
}

void CH264RTPMediaParser::TakePendingSets() {
  std::unique_ptr<ParameterSets> sets(pendingSets.exchange(nullptr, std::memory_order_acquire));
  if (sets == nullptr) return;
  sps.swap(sets->sps);
  pps.swap(sets->pps);
  width = sets->width;
  height = sets->height;
}

void CH264RTPMediaParser::HandlePacket(const RTPPacket& packet, bool afterGap) {
  try {
    if (afterGap) {
      // Later pictures refer to the lost one: wait for the next IDR.
      CountDrop(kDropSequenceGap);
      discarding = true;
      fragmentOpen = false;
      frame.clear();
    }
    if (packet.timestamp != lastTimestamp) atFrameStart = true;
    lastTimestamp = packet.timestamp;
    // After a gap the packets lost may have been this unit's first ones.
    if (afterGap) {
      unitIntact = false;
    } else if (atFrameStart) {
      unitIntact = true;
    }
    const uint8_t* p = nullptr;
    size_t n = 0;
    bool usable = PayloadOf(packet, &p, &n) ? Depacketize(p, n) : Depacketize(nullptr, 0);
    if (usable && packet.marker && fragmentOpen) {
      // The picture ends inside a fragmented NAL unit: it has a hole.
      CountDrop(kDropMalformed);
      discarding = true;
      fragmentOpen = false;
      frame.clear();
      usable = false;
    }
    if (usable && packet.marker) {
      EmitFrame(packet.timestamp);
      frame.clear();
    }
    atFrameStart = packet.marker;
  } catch (...) {
    // Out of memory: drop what was being assembled and wait for a key packet.
    discarding = true;
    fragmentOpen = false;
    frame.clear();
  }
}

void CH264RTPMediaParser::AppendStartCode() {
  frame.insert(frame.end(), kStartCode, kStartCode + sizeof kStartCode);
}

bool CH264RTPMediaParser::Depacketize(const uint8_t* p, size_t n) {
  bool handled = false;
  const bool fragmentWasOpen = fragmentOpen;
  const uint8_t type = n > 0 ? (p[0] & kNalTypeMask) : 0;
  if (type >= 1 && type <= 23) {
    handled = AppendSingleNal(p, n);
  } else if (type == kStapA) {
    handled = AppendStapA(p, n);
  } else if (type == kFuA) {
    handled = AppendFuA(p, n);
  }

  if (!handled) {
    CountDrop(RefusalReason(type, n, fragmentWasOpen));
    discarding = true;
    fragmentOpen = false;
  } else if (frame.size() > kMaxFrameSize) {
    CountDrop(kDropOversize);
    discarding = true;
    fragmentOpen = false;
  } else if (discarding && keyNal && unitIntact) {
    discarding = false;
  } else if (discarding) {
    CountDrop(kDropNoKeyFrame);
  }
  if (discarding) {
    frame.clear();
    return false;
  }
  return true;
}

bool CH264RTPMediaParser::CloseBrokenFragment() {
  fragmentOpen = false;
  return false;
}

bool CH264RTPMediaParser::AppendSingleNal(const uint8_t* p, size_t n) {
  if (fragmentOpen) return CloseBrokenFragment();
  AppendStartCode();
  frame.insert(frame.end(), p, p + n);
  keyNal = IsKeyNalType(p[0] & kNalTypeMask);
  LearnParameterSet(p, n);
  return true;
}

bool CH264RTPMediaParser::AppendStapA(const uint8_t* p, size_t n) {
  if (fragmentOpen) return CloseBrokenFragment();
  if (n < kStapAMinSize) return false;
  // Every unit must lie inside the payload before any of it is taken, so a
  // bad size field drops the packet whole.
  size_t units = 0;
  for (size_t at = 1; at < n;) {
    if (n - at < kStapAUnitSizeField) return false;
    const size_t size = ReadU16(p + at);
    at += kStapAUnitSizeField;
    if (size == 0 || size > n - at) return false;
    at += size;
    ++units;
  }
  if (units == 0) return false;
  for (size_t at = 1; at < n;) {
    const size_t size = ReadU16(p + at);
    at += kStapAUnitSizeField;
    AppendStartCode();
    frame.insert(frame.end(), p + at, p + at + size);
    LearnParameterSet(p + at, size);
    at += size;
  }
  keyNal = IsKeyNalType(p[3] & kNalTypeMask);
  return true;
}

bool CH264RTPMediaParser::AppendFuA(const uint8_t* p, size_t n) {
  if (n < kFuAMinSize || width == 0 || height == 0) return false;
  const uint8_t indicator = p[0];
  const uint8_t header = p[1];
  const uint8_t type = header & kNalTypeMask;
  const bool start = (header & kFuStartBit) != 0;
  // A second start, or a fragment whose start never came: the NAL unit has
  // a hole whatever the sequence numbers say.
  if (start == fragmentOpen) return CloseBrokenFragment();
  fragmentOpen = (header & kFuEndBit) == 0;
  // The stored sets go in front of a picture's first slice only: a picture
  // of several slices, or one that brought its own sets, must not get them
  // between its slices.
  if (header == kFuIdrStart && !HasSps(frame)) {
    if ((sps.empty() || pps.empty()) && !SynthesizeParameterSets()) {
      discarding = true;
      return false;
    }
    AppendStartCode();
    frame.insert(frame.end(), sps.begin(), sps.end());
    AppendStartCode();
    frame.insert(frame.end(), pps.begin(), pps.end());
  }
  if (start) {
    AppendStartCode();
    frame.push_back(uint8_t((indicator & kNalNriMask) | type));
  }
  frame.insert(frame.end(), p + kFuAHeaderSize, p + n);
  keyNal = type == kNalIdr;
  return true;
}

void CH264RTPMediaParser::SetParameterSets(const std::vector<uint8_t>& newSps,
                                           const std::vector<uint8_t>& newPps) {
  if (newSps.empty() || newPps.empty()) return;
  try {
    auto sets = std::make_unique<ParameterSets>();
    if (CH264SpsReader::ReadNalUnit(newSps.data(), newSps.size(), &sets->width, &sets->height)) {
      sets->sps = newSps;
      sets->pps = newPps;
    } else {
      *sets = SynthesizedSets();
    }
    // Sets handed over earlier and not yet taken up are stale now.
    delete pendingSets.exchange(sets.release(), std::memory_order_acq_rel);
  } catch (const std::bad_alloc&) {
    // Out of memory: the stream's own sets, or synthesized ones, serve.
  }
}

void CH264RTPMediaParser::LearnParameterSet(const uint8_t* nal, size_t n) {
  const uint8_t type = nal[0] & kNalTypeMask;
  if (type == kNalPps) {
    pps.assign(nal, nal + n);
    return;
  }
  if (type != kNalSps) return;
  uint32_t w = 0;
  uint32_t h = 0;
  if (!CH264SpsReader::ReadNalUnit(nal, n, &w, &h)) return;
  sps.assign(nal, nal + n);
  width = w;
  height = h;
}

CH264RTPMediaParser::ParameterSets CH264RTPMediaParser::SynthesizedSets() const {
  ParameterSets sets;
  if (client == nullptr) return sets;
  const auto size = client->GetResolution();
  sets.width = size.first;
  sets.height = size.second;
  sets.sps = CH264SpsWriter::BuildSps(sets.width, sets.height);
  if (!sets.sps.empty()) sets.pps = CH264SpsWriter::FixedPps();
  return sets;
}

bool CH264RTPMediaParser::SynthesizeParameterSets() {
  if (client == nullptr) {
    sps.clear();
    pps.clear();
    return false;
  }
  ParameterSets sets = SynthesizedSets();
  sps = std::move(sets.sps);
  pps = std::move(sets.pps);
  width = sets.width;
  height = sets.height;
  return !sps.empty();
}

void CH264RTPMediaParser::EmitFrame(uint32_t rtpTime) {
  ISampleAllocator* allocator = GetAllocator();
  if (allocator == nullptr || client == nullptr || frame.empty()) return;
  timeConverter.Update(rtpTime);
  frame.insert(frame.end(), kFrameTrailer, kFrameTrailer + sizeof kFrameTrailer);
  const uint32_t length = uint32_t(frame.size());

  uint32_t type = kTypeI264;
  if (keyNal) {
    uint32_t w = 0;
    uint32_t h = 0;
    if (!CH264SpsReader::ReadPictureSize(frame.data(), frame.size(), &w, &h)) {
      CountDrop(kDropNoParameterSets);
      discarding = true;
      return;
    }
    width = w;
    height = h;
    type = kTypeH264;
  }

  IMediaSample* sample = allocator->Allocate(type, H264Capacity(length), sourceName.c_str());
  if (sample == nullptr) return;
  uint8_t* buffer = sample->GetBuffer();
  if (buffer == nullptr) {
    allocator->Release(sample);
    return;
  }
  std::memcpy(buffer, frame.data(), length);
  FillSample(sample, length, type);
  if (!HandToClient(sample)) discarding = true;
  allocator->Release(sample);
}

}  // namespace quenlix
