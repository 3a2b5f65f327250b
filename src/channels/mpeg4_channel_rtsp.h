// The channel of a camera's MPEG4 stream over RTSP.
#pragma once

#include <cstdint>

#include "channels/common_channel.h"
#include "media/mpeg4_rtp_media_parser.h"

namespace quenlix {

class CMPEG4ChannelRTSP : public CCommonChannel {
 public:
  CMPEG4ChannelRTSP(uint32_t channelIndex, IDriver* driver, IFrameSink* frameSink);
  ~CMPEG4ChannelRTSP() override;

  bool PrepareParser() override;
  const CRTPMediaParser* MediaParser() const override { return &parser; }
  void OnMediaPacket(const RTPPacket& packet) override;
  void FillSessionInfo(RTSP_SESSION_INFO& info) override;

 protected:
  CMpeg4RTPMediaParser parser;
};

}  // namespace quenlix
