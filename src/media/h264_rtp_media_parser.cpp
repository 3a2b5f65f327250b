#include "media/h264_rtp_media_parser.h"

#include <memory>
#include <new>
#include <utility>

#include "media/h264_sps_reader.h"
#include "media/h264_sps_writer.h"
#include "media/sample_contract.h"
#include "platform/byte_cursor.h"

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
constexpr size_t kStapAHeaderSize = 1;
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
  Discard();
  keyNal = false;
  width = 0;
  height = 0;
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
    // Later pictures refer to the lost one: wait for the next IDR.
    if (afterGap) DropPicture(kDropSequenceGap);
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
    bool usable = PayloadOf(packet, &p, &n) ? Depacketize(p, n) : DropPicture(kDropMalformed);
    // The picture ends inside a fragmented NAL unit: it has a hole.
    if (usable && packet.marker && fragmentOpen) usable = DropPicture(kDropMalformed);
    if (usable && packet.marker) {
      EmitFrame(packet.timestamp);
      frame.clear();
    }
    atFrameStart = packet.marker;
  } catch (...) {
    // Out of memory: drop what was being assembled and wait for a key packet.
    Discard();
    fragmentOpen = false;
  }
}

bool CH264RTPMediaParser::DropPicture(DropReason reason) {
  Drop(reason);
  fragmentOpen = false;
  return false;
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

  if (!handled) return DropPicture(RefusalReason(type, n, fragmentWasOpen));
  if (frame.size() > kMaxFrameSize) return DropPicture(kDropOversize);
  if (discarding && keyNal && unitIntact) discarding = false;
  if (!discarding) return true;
  CountDrop(kDropNoKeyFrame);
  frame.clear();
  return false;
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
  for (ByteReader check(p + kStapAHeaderSize, n - kStapAHeaderSize); check.Remaining() > 0;) {
    const size_t size = check.U16();
    if (size == 0 || check.Take(size) == nullptr) return false;
  }
  ByteReader units(p + kStapAHeaderSize, n - kStapAHeaderSize);
  while (units.Remaining() > 0) {
    const size_t size = units.U16();
    const uint8_t* nal = units.Take(size);
    AppendStartCode();
    frame.insert(frame.end(), nal, nal + size);
    LearnParameterSet(nal, size);
  }
  // The first unit decides whether the packet starts a key picture.
  keyNal = IsKeyNalType(p[kStapAHeaderSize + kStapAUnitSizeField] & kNalTypeMask);
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
    if ((sps.empty() || pps.empty()) && !SynthesizeParameterSets()) return false;
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
  if (frame.empty() || !CanDeliver()) return;
  timeConverter.Update(rtpTime);
  frame.insert(frame.end(), kFrameTrailer, kFrameTrailer + sizeof kFrameTrailer);

  uint32_t type = kTypeI264;
  if (keyNal) {
    uint32_t w = 0;
    uint32_t h = 0;
    if (!CH264SpsReader::ReadPictureSize(frame.data(), frame.size(), &w, &h)) {
      return Drop(kDropNoParameterSets);
    }
    width = w;
    height = h;
    type = kTypeH264;
  }
  Deliver(type, H264Capacity(uint32_t(frame.size())));
}

}  // namespace quenlix
