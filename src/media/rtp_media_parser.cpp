#include "media/rtp_media_parser.h"

#include "media/sample_contract.h"

namespace quenlix {

CRTPMediaParser::CRTPMediaParser(IDriver* driver, const char* sourceName)
    : driver(driver), sourceName(sourceName != nullptr ? sourceName : "") {}

CRTPMediaParser::~CRTPMediaParser() = default;

bool CRTPMediaParser::CheckSequence(uint16_t sequenceNumber) {
  const uint16_t expected = uint16_t(lastSequence + 1);
  lastSequence = sequenceNumber;
  if (firstPacket) {
    firstPacket = false;
    return true;
  }
  return sequenceNumber == expected;
}

ISampleAllocator* CRTPMediaParser::GetAllocator() const {
  return driver != nullptr ? driver->GetSampleAllocator() : nullptr;
}

void CRTPMediaParser::FillSample(IMediaSample* sample, uint32_t length, uint32_t typeCode) {
  sample->SetWidth(width);
  sample->SetHeight(height);
  sample->SetSizeClass(SizeClass(width, height));
  sample->SetLength(length);
  if (typeCode != 0) sample->SetType(typeCode);
  timeConverter.GetTime(&sampleTime);
  sample->SetTime(&sampleTime);
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
