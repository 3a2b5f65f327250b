#include "channels/mjpeg_channel_rtsp.h"

namespace quenlix {

CMJPEGChannelRTSP::CMJPEGChannelRTSP(uint32_t channelIndex, IDriver* driver, IFrameSink* frameSink)
    : CCommonChannel(channelIndex, driver, frameSink), parser(driver, kDriverName) {
  parser.SetClient(this);
  // The depacketizer starts waiting for a frame start, as after a reset.
  parser.Reset();
}

CMJPEGChannelRTSP::~CMJPEGChannelRTSP() {
  // The worker and the receive thread call into parser; both must be gone
  // before it is.
  StopWorker();
  StopReception();
}

bool CMJPEGChannelRTSP::PrepareParser() {
  parser.Reset();
  return ConfigureStream(StreamCodec::kMjpeg);
}

void CMJPEGChannelRTSP::OnMediaPacket(const RTPPacket& packet) { parser.ParsePacket(packet); }

void CMJPEGChannelRTSP::FillSessionInfo(RTSP_SESSION_INFO& info) {
  FillPortAndPath(info, StreamCodec::kMjpeg);
}

}  // namespace quenlix
