#include "rtp/rtp_receiver.h"

#include <algorithm>

namespace quenlix {

namespace {

constexpr size_t kRtpHeaderSize = 12;
constexpr size_t kCsrcSize = 4;
constexpr size_t kExtensionHeaderSize = 4;
constexpr size_t kExtensionWordSize = 4;
constexpr uint8_t kRtpVersion = 2;
constexpr uint8_t kVersionShift = 6;
constexpr uint8_t kPaddingBit = 0x20;
constexpr uint8_t kExtensionBit = 0x10;
constexpr uint8_t kCsrcCountMask = 0x0F;
constexpr uint8_t kMarkerBit = 0x80;
constexpr uint8_t kPayloadTypeMask = 0x7F;

inline uint16_t ReadU16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }
inline uint32_t ReadU32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

}  // namespace

CRTPReceiver::CRTPReceiver() {
  port.SetUser(this);
  port.SetBufferSize(kRtpBufferSize);
}

CRTPReceiver::~CRTPReceiver() { port.Close(); }

uint32_t CRTPReceiver::SocketBufferForBitRate(uint32_t kbitPerSecond) {
  // kbit/s * ms / 8 = bytes.
  const uint64_t bytes = uint64_t(kbitPerSecond) * kSocketBufferMs / 8;
  return uint32_t(std::min<uint64_t>(bytes, kMaxSocketBuffer));
}

bool CRTPReceiver::ParsePacket(const uint8_t* data, size_t length, RTPPacket* packet) {
  *packet = RTPPacket();
  // A header without payload carries nothing worth handing on.
  if (data == nullptr || length <= kRtpHeaderSize) return false;
  if ((data[0] >> kVersionShift) != kRtpVersion) return false;

  packet->csrcCount = data[0] & kCsrcCountMask;
  size_t headerLength = kRtpHeaderSize + kCsrcSize * packet->csrcCount;
  if (packet->csrcCount > 0) packet->csrcList = data + kRtpHeaderSize;

  if (data[0] & kExtensionBit) {
    headerLength += kExtensionHeaderSize;
    if (length < headerLength) return false;
    packet->extensionLength = ReadU16(data + headerLength - 2);
    packet->extensionData = data + headerLength;
    headerLength += kExtensionWordSize * packet->extensionLength;
  }
  if (length < headerLength) return false;

  packet->marker = (data[1] & kMarkerBit) != 0;
  packet->payloadType = data[1] & kPayloadTypeMask;
  packet->padding = (data[0] & kPaddingBit) != 0;
  packet->sequenceNumber = ReadU16(data + 2);
  packet->timestamp = ReadU32(data + 4);
  packet->ssrc = ReadU32(data + 8);
  packet->payload = data + headerLength;
  packet->payloadLength = uint32_t(length - headerLength);
  return true;
}

void CRTPReceiver::OnDataReceived(CUDPPort* from, const platform::SocketAddress& address,
                                  const uint8_t* data, int32_t length) {
  if (from != &port || length <= 0) return;
  IRTPReceiverUser* u = user.load();
  if (u == nullptr) return;
  RTPPacket packet;
  if (!ParsePacket(data, size_t(length), &packet)) return;
  u->OnRTPPacket(this, address, packet);
}

void CRTPReceiver::OnReceiveTimeout() {
  if (IRTPReceiverUser* u = user.load()) u->OnReceiveTimeout();
}

void CRTPReceiver::OnPortClosed(CUDPPort* closed) {
  if (closed != &port) return;
  if (IRTPReceiverUser* u = user.load()) u->OnReceiverClosed(this);
}

}  // namespace quenlix
