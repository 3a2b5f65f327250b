// The channel of a camera's MJPEG stream over RTSP.
#pragma once

#include <cstdint>

#include "channels/common_channel.h"
#include "media/jpeg_rtp_media_parser.h"

namespace quenlix {

class CMJPEGChannelRTSP : public CCommonChannel {
 public:
  CMJPEGChannelRTSP(uint32_t channelIndex, IDriver* driver, IFrameSink* frameSink);
  ~CMJPEGChannelRTSP() override;

  bool PrepareParser() override;
  const CRTPMediaParser* MediaParser() const override { return &parser; }
  void OnMediaPacket(const RTPPacket& packet) override;
  void FillSessionInfo(RTSP_SESSION_INFO& info) override;

 protected:
  CJpegRTPMediaParser parser;
};

}  // namespace quenlix
