// The channel of a camera's H264 stream over RTSP.
#pragma once

#include <cstdint>

#include "channels/common_channel.h"
#include "media/h264_rtp_media_parser.h"

namespace quenlix {

class CH264ChannelRTSP : public CCommonChannel {
 public:
  CH264ChannelRTSP(uint32_t channelIndex, IDriver* driver, IFrameSink* frameSink);
  ~CH264ChannelRTSP() override;

  bool PrepareParser() override;
  const CRTPMediaParser* MediaParser() const override { return &parser; }
  void OnMediaPacket(const RTPPacket& packet) override;
  void FillSessionInfo(RTSP_SESSION_INFO& info) override;
  // Hands the SDP's parameter sets to the depacketizer.
  void OnSessionDescribed() override;

 protected:
  CH264RTPMediaParser parser;
};

}  // namespace quenlix
