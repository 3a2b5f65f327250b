// JPEG RTP payloads to complete JPEG pictures.
#pragma once

#include <cstddef>
#include <cstdint>

#include "media/rtp_media_parser.h"

namespace quenlix {

class CJpegRTPMediaParser : public CRTPMediaParser {
 public:
  CJpegRTPMediaParser(IDriver* driver, const char* sourceName);
  ~CJpegRTPMediaParser() override;

  void Reset() override;

 protected:
  void HandlePacket(const RTPPacket& packet, bool afterGap) override;
  // Headers and scan data into out; 0 when the frame cannot make a picture.
  size_t WriteFrame(uint8_t* out) override;

 private:
  static bool StartsPicture(const RTPPacket& packet);
  void Append(const uint8_t* p, size_t n);
  void EmitFrame(uint32_t rtpTime);

  bool frameStart = true;
  // The headers must all lie in the frame's first packet; later packets
  // carry scan data only.
  size_t firstPacketSize = 0;
};

}  // namespace quenlix
