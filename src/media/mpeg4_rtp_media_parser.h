// MPEG-4 Visual RTP payloads to one frame of elementary-stream data per
// VOP, configuration headers before each I-VOP.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "media/rtp_media_parser.h"
#include "platform/platform.h"

namespace quenlix {

class CMpeg4RTPMediaParser : public CRTPMediaParser {
 public:
  // The outside library's one operation: fills the picture size of a complete
  // key frame; a result above 0 means success.
  using ParseMpegHeaderFn = int32_t(QUENLIX_STDCALL*)(const uint8_t* data, uint32_t length,
                                                      uint32_t* width, uint32_t* height);

  // Loads the header library "Kelvardec.dll" by name.
  CMpeg4RTPMediaParser(IDriver* driver, const char* sourceName);
  // For tests: a given header reader (may be null), no library.
  CMpeg4RTPMediaParser(IDriver* driver, const char* sourceName, ParseMpegHeaderFn reader);
  ~CMpeg4RTPMediaParser() override;

  void Reset() override;

  bool HasHeaderReader() const { return parseHeader != nullptr; }
  const std::vector<uint8_t>& GetConfig() const { return config; }

 protected:
  void HandlePacket(const RTPPacket& packet, bool afterGap) override;

 private:
  void EmitFrame(uint32_t rtpTime);

  bool keyFrame = false;
  std::vector<uint8_t> config;
  platform::Library libraryModule = nullptr;
  ParseMpegHeaderFn parseHeader = nullptr;
};

}  // namespace quenlix
