// One parsed RTP datagram. Every pointer points into the port's receive
// buffer and is valid only during the OnRTPPacket call that carries it.
#pragma once

#include <cstdint>

namespace quenlix {

struct RTPPacket {
  uint8_t csrcCount = 0;              // CC field, 0..15
  const uint8_t* csrcList = nullptr;  // first CSRC word; null when CC is 0
  uint32_t ssrc = 0;
  bool marker = false;
  bool padding = false;  // the padding itself stays in the payload
  uint8_t payloadType = 0;
  uint16_t sequenceNumber = 0;   // host byte order
  uint32_t timestamp = 0;        // host byte order
  uint16_t extensionLength = 0;  // in 32-bit words; 0 when X is clear
  const uint8_t* extensionData = nullptr;
  uint32_t payloadLength = 0;  // header end to datagram end
  const uint8_t* payload = nullptr;
};

}  // namespace quenlix
