#include "channels/h264_channel_rtsp.h"

#include <vector>

namespace quenlix {

CH264ChannelRTSP::CH264ChannelRTSP(uint32_t channelIndex, IDriver* driver, IFrameSink* frameSink)
    : CCommonChannel(channelIndex, driver, frameSink), parser(driver, kDriverName) {
  parser.SetClient(this);
}

CH264ChannelRTSP::~CH264ChannelRTSP() {
  // The worker and the receive thread call into parser; both must be gone
  // before it is.
  StopWorker();
  StopReception();
}

bool CH264ChannelRTSP::PrepareParser() {
  parser.Reset();
  return ConfigureStream(StreamCodec::kH264);
}

void CH264ChannelRTSP::OnMediaPacket(const RTPPacket& packet) { parser.ParsePacket(packet); }

void CH264ChannelRTSP::FillSessionInfo(RTSP_SESSION_INFO& info) {
  FillPortAndPath(info, StreamCodec::kH264);
}

void CH264ChannelRTSP::OnSessionDescribed() {
  if (rtspClient == nullptr) return;
  std::vector<uint8_t> sps;
  std::vector<uint8_t> pps;
  rtspClient->GetParameterSets(sps, pps);
  // Without both, the depacketizer synthesizes them when it needs them.
  if (sps.empty() || pps.empty()) return;
  parser.SetParameterSets(sps, pps);
}

}  // namespace quenlix
