#include "rtp/rtp_receiver.h"

#include <algorithm>

#include "platform/byte_cursor.h"

namespace quenlix {

namespace {

constexpr size_t kRtpHeaderSize = 12;
constexpr size_t kCsrcSize = 4;
// The header extension: a profile-defined field, then its length in words.
constexpr size_t kExtensionProfileSize = 2;
constexpr size_t kExtensionWordSize = 4;
constexpr uint8_t kRtpVersion = 2;
constexpr uint8_t kVersionShift = 6;
constexpr uint8_t kPaddingBit = 0x20;
constexpr uint8_t kExtensionBit = 0x10;
constexpr uint8_t kCsrcCountMask = 0x0F;
constexpr uint8_t kMarkerBit = 0x80;
constexpr uint8_t kPayloadTypeMask = 0x7F;

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
  ByteReader in(data, length);
  const uint8_t flags = in.U8();
  if ((flags >> kVersionShift) != kRtpVersion) return false;
  const uint8_t markerAndType = in.U8();
  const uint16_t sequenceNumber = in.U16();
  const uint32_t timestamp = in.U32();
  const uint32_t ssrc = in.U32();

  packet->csrcCount = flags & kCsrcCountMask;
  const uint8_t* csrcList = in.Take(kCsrcSize * packet->csrcCount);
  if (packet->csrcCount > 0) packet->csrcList = csrcList;
  if (flags & kExtensionBit) {
    in.Skip(kExtensionProfileSize);
    packet->extensionLength = in.U16();
    packet->extensionData = in.Take(kExtensionWordSize * packet->extensionLength);
  }
  if (!in.ok()) return false;

  packet->marker = (markerAndType & kMarkerBit) != 0;
  packet->payloadType = markerAndType & kPayloadTypeMask;
  packet->padding = (flags & kPaddingBit) != 0;
  packet->sequenceNumber = sequenceNumber;
  packet->timestamp = timestamp;
  packet->ssrc = ssrc;
  packet->payloadLength = uint32_t(in.Remaining());
  packet->payload = in.Take(in.Remaining());
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
