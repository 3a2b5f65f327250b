#include "media/rtp_media_parser.h"

#include <cstring>

#include "media/sample_contract.h"

namespace quenlix {

namespace {

constexpr uint16_t kSlotMask = CRTPMediaParser::kWindowSlots - 1;
static_assert((CRTPMediaParser::kWindowSlots & kSlotMask) == 0, "window slots: a power of two");
constexpr unsigned kTakenBits = 64;
// A jump forward by more than this is a source that started again, not a
// burst of loss (as RFC 3550 A.1 reckons).
constexpr uint16_t kMaxDropout = 3000;

uint64_t ShiftTaken(uint64_t taken, uint32_t by) { return by >= kTakenBits ? 0 : taken << by; }

}  // namespace

CRTPMediaParser::CRTPMediaParser(IDriver* driver, const char* sourceName)
    : driver(driver), sourceName(sourceName != nullptr ? sourceName : "") {}

CRTPMediaParser::~CRTPMediaParser() = default;

void CRTPMediaParser::Bump(std::atomic<uint64_t>& counter, uint64_t by) {
  // One writer: a plain store is enough and costs no locked instruction.
  counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

void CRTPMediaParser::ParsePacket(const RTPPacket& packet) {
  Bump(received);
  const uint16_t seq = packet.sequenceNumber;
  if (!sequenced) {
    sequenced = true;
    starting = true;
    expected = seq;
    highestHeld = seq;
    taken = 0;
  }
  if (starting && HoldAtStart(packet)) return;
  const int16_t ahead = int16_t(uint16_t(seq - expected));
  if (ahead == 0) {
    if (heldCount > 0) Bump(repaired);
    onProbation = false;
    Pass(packet, false);
    Drain();
    return;
  }
  if (ahead > 0 && ahead < kWindowSlots) {
    if (Hold(packet)) Bump(reordered);
    Expire(packet.timestamp);
    return;
  }
  if (ahead > 0) {
    // The gap is wider than the window can wait for: give it up now.
    while (SkipToHeld()) {
    }
    const uint16_t gap = uint16_t(seq - expected);
    if (gap <= kMaxDropout) Bump(lost, gap);
    taken = ShiftTaken(taken, gap);
    expected = seq;
    Pass(packet, gap > 0);
    return;
  }
  const uint32_t behind = uint32_t(-int32_t(ahead)) - 1;
  if (behind < kTakenBits) {
    Bump((taken >> behind) & 1 ? duplicated : late);
    return;
  }
  // Far behind: a stray, unless the next packet follows it.
  if (onProbation && seq == probation) {
    FlushAndRestart(packet);
    return;
  }
  onProbation = true;
  probation = uint16_t(seq + 1);
  Bump(late);
}

bool CRTPMediaParser::HoldAtStart(const RTPPacket& packet) {
  const uint16_t seq = packet.sequenceNumber;
  const int16_t ahead = int16_t(uint16_t(seq - expected));
  const uint16_t span = ahead < 0 ? uint16_t(highestHeld - seq) : uint16_t(ahead);
  if (span >= kWindowSlots) {
    EndStart();
    return false;
  }
  if (ahead < 0) expected = seq;
  if (int16_t(uint16_t(seq - highestHeld)) > 0) highestHeld = seq;
  HeldPacket& slot = slots[seq & kSlotMask];
  if (slot.held) {
    Bump(duplicated);
    return true;
  }
  if (!Hold(packet)) return true;
  if (heldCount == 1) startTimestamp = packet.timestamp;
  // The first frame goes on once it is whole from the lowest number seen;
  // packets that overtook it meanwhile take their places in front.
  for (uint16_t at = expected;; ++at) {
    const HeldPacket& next = slots[at & kSlotMask];
    if (!next.held || next.header.sequenceNumber != at) break;
    if (next.header.marker) {
      EndStart();
      return true;
    }
  }
  if (int32_t(packet.timestamp - startTimestamp) > int32_t(kWindowTicks)) EndStart();
  return true;
}

void CRTPMediaParser::EndStart() {
  starting = false;
  Drain();
}

void CRTPMediaParser::Pass(const RTPPacket& packet, bool afterGap) {
  afterGap = afterGap || gapPending;
  gapPending = false;
  // A new time stamp while a frame is open: that frame lost its end.
  if (frameOpen && packet.timestamp != lastTimestamp) Bump(framesEnded);
  taken = (taken << 1) | 1;
  expected = uint16_t(packet.sequenceNumber + 1);
  lastTimestamp = packet.timestamp;
  frameOpen = !packet.marker;
  HandlePacket(packet, afterGap);
  if (packet.marker) Bump(framesEnded);
}

bool CRTPMediaParser::Hold(const RTPPacket& packet) {
  HeldPacket& slot = slots[packet.sequenceNumber & kSlotMask];
  // Within the window each slot belongs to one sequence number.
  if (slot.held) {
    Bump(duplicated);
    return false;
  }
  slot.header = packet;
  slot.header.csrcCount = 0;
  slot.header.csrcList = nullptr;
  slot.header.extensionLength = 0;
  slot.header.extensionData = nullptr;
  const uint8_t* p = packet.payload;
  const size_t n = p != nullptr ? packet.payloadLength : 0;
  try {
    slot.payload.assign(p, p + n);
  } catch (...) {
    return false;  // out of memory: the packet is as good as lost
  }
  slot.held = true;
  ++heldCount;
  return true;
}

void CRTPMediaParser::Drain() {
  while (heldCount > 0) {
    HeldPacket& slot = slots[expected & kSlotMask];
    if (!slot.held) return;
    slot.held = false;
    --heldCount;
    slot.header.payload = slot.payload.data();
    slot.header.payloadLength = uint32_t(slot.payload.size());
    Pass(slot.header, false);
  }
}

bool CRTPMediaParser::SkipToHeld() {
  if (heldCount == 0) return false;
  uint16_t skip = 1;
  while (!slots[(expected + skip) & kSlotMask].held) ++skip;
  Bump(lost, skip);
  taken = ShiftTaken(taken, skip);
  expected = uint16_t(expected + skip);
  gapPending = true;
  Drain();
  return true;
}

void CRTPMediaParser::Expire(uint32_t newestTimestamp) {
  // The gap waits from the first packet held behind it. Signed: a time
  // stamp behind that one's (B-frames) ages nothing.
  while (heldCount > 0) {
    uint16_t at = uint16_t(expected + 1);
    while (!slots[at & kSlotMask].held) ++at;
    const uint32_t opened = slots[at & kSlotMask].header.timestamp;
    if (int32_t(newestTimestamp - opened) <= int32_t(kWindowTicks)) return;
    SkipToHeld();
  }
}

void CRTPMediaParser::FlushAndRestart(const RTPPacket& packet) {
  while (SkipToHeld()) {
  }
  onProbation = false;
  taken = 0;
  expected = packet.sequenceNumber;
  Pass(packet, true);
}

void CRTPMediaParser::ResetSequence() {
  sequenced = false;
  starting = false;
  taken = 0;
  onProbation = false;
  heldCount = 0;
  gapPending = false;
  frameOpen = false;
  for (HeldPacket& slot : slots) slot.held = false;
}

RECEPTION_COUNTS CRTPMediaParser::GetReceptionCounts() const {
  RECEPTION_COUNTS c;
  c.received = received.load(std::memory_order_relaxed);
  c.lost = lost.load(std::memory_order_relaxed);
  c.duplicated = duplicated.load(std::memory_order_relaxed);
  c.reordered = reordered.load(std::memory_order_relaxed);
  c.repaired = repaired.load(std::memory_order_relaxed);
  c.late = late.load(std::memory_order_relaxed);
  // Taken is counted before the frame's end, so read it first.
  const uint64_t took = framesTaken.load(std::memory_order_relaxed);
  const uint64_t ended = framesEnded.load(std::memory_order_relaxed);
  c.framesDropped = ended > took ? ended - took : 0;
  return c;
}

ISampleAllocator* CRTPMediaParser::GetAllocator() const {
  return driver != nullptr ? driver->GetSampleAllocator() : nullptr;
}

bool CRTPMediaParser::CanDeliver() const { return GetAllocator() != nullptr && client != nullptr; }

void CRTPMediaParser::Deliver(uint32_t type, uint32_t capacity) {
  ISampleAllocator* allocator = GetAllocator();
  if (allocator == nullptr || client == nullptr) return;
  IMediaSample* sample = allocator->Allocate(type, capacity, sourceName.c_str());
  if (sample == nullptr) return;
  uint8_t* buffer = sample->GetBuffer();
  const size_t length = buffer != nullptr ? WriteFrame(buffer) : 0;
  if (buffer != nullptr && length == 0) CountDrop(kDropMalformed);
  if (length != 0) {
    sample->SetWidth(width);
    sample->SetHeight(height);
    sample->SetSizeClass(SizeClass(width, height));
    sample->SetLength(uint32_t(length));
    // A JPEG sample's type is the one given to Allocate, and only that.
    if (type != kTypeJPEG) sample->SetType(type);
    timeConverter.GetTime(&sampleTime);
    sample->SetTime(&sampleTime);
    if (client->OnFrame(sample)) {
      Bump(framesTaken);
    } else {
      discarding = true;
    }
  }
  allocator->Release(sample);
}

size_t CRTPMediaParser::WriteFrame(uint8_t* buffer) {
  std::memcpy(buffer, frame.data(), frame.size());
  return frame.size();
}

void CRTPMediaParser::Drop(DropReason reason) {
  CountDrop(reason);
  Discard();
}

void CRTPMediaParser::Discard() {
  discarding = true;
  frame.clear();
}

bool CRTPMediaParser::PayloadOf(const RTPPacket& packet, const uint8_t** payload, size_t* length) {
  *payload = packet.payload;
  *length = packet.payload != nullptr ? packet.payloadLength : 0;
  if (!packet.padding) return true;
  // The last byte counts the padding, itself included.
  if (*length == 0) return false;
  const size_t pad = (*payload)[*length - 1];
  if (pad == 0 || pad > *length) return false;
  *length -= pad;
  return true;
}

uint32_t CRTPMediaParser::DropCount(DropReason reason) const {
  if (reason < 0 || reason >= kDropReasonCount) return 0;
  return drops[reason].load(std::memory_order_relaxed);
}

void CRTPMediaParser::CountDrop(DropReason reason) {
  if (reason < 0 || reason >= kDropReasonCount) return;
  drops[reason].fetch_add(1, std::memory_order_relaxed);
}

}  // namespace quenlix
