// fuzz-module: rtp
// The RTP header parser on arbitrary datagrams: every pointer it hands out
// must stay inside the datagram.
#include <cstdlib>
#include <vector>

#include "rtp/rtp_receiver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact copy, so that a read past the end is caught.
  std::vector<uint8_t> datagram(data, data + size);
  quenlix::RTPPacket packet;
  if (!quenlix::CRTPReceiver::ParsePacket(datagram.data(), datagram.size(), &packet)) return 0;
  const uint8_t* begin = datagram.data();
  const uint8_t* end = begin + datagram.size();
  if (packet.payload < begin || packet.payload + packet.payloadLength != end) std::abort();
  if (packet.csrcList != nullptr && packet.csrcList + 4 * packet.csrcCount > packet.payload) {
    std::abort();
  }
  if (packet.extensionData != nullptr &&
      packet.extensionData + 4 * size_t(packet.extensionLength) > packet.payload) {
    std::abort();
  }
  volatile uint8_t sink = 0;
  for (uint32_t i = 0; i < packet.payloadLength; ++i) sink ^= packet.payload[i];
  (void)sink;
  return 0;
}
