#include "channels/mpeg4_channel_rtsp.h"

namespace quenlix {

CMPEG4ChannelRTSP::CMPEG4ChannelRTSP(uint32_t channelIndex, IDriver* driver, IFrameSink* frameSink)
    : CCommonChannel(channelIndex, driver, frameSink), parser(driver, kDriverName) {
  parser.SetClient(this);
}

CMPEG4ChannelRTSP::~CMPEG4ChannelRTSP() {
  // The worker and the receive thread call into parser; both must be gone
  // before it is.
  StopWorker();
  StopReception();
}

bool CMPEG4ChannelRTSP::PrepareParser() {
  parser.Reset();
  return ConfigureStream(StreamCodec::kMpeg4);
}

void CMPEG4ChannelRTSP::OnMediaPacket(const RTPPacket& packet) { parser.ParsePacket(packet); }

void CMPEG4ChannelRTSP::FillSessionInfo(RTSP_SESSION_INFO& info) {
  FillPortAndPath(info, StreamCodec::kMpeg4);
}

}  // namespace quenlix
