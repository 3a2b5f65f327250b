// The layer every codec channel shares: the HTTP sender that configures the
// camera's encoder before each start of reception.
#pragma once

#include <atomic>
#include <cstdint>

#include <string>

#include "camera/http_sender.h"
#include "camera/result_def.h"
#include "channels/base_rtsp_channel.h"
#include "channels/stream_configuration.h"
#include "rtsp/base_rtsp_client.h"

namespace quenlix {

class CCommonChannel : public CBaseRTSPChannel {
 public:
  // The source name every depacketizer of this driver reports.
  static constexpr const char* kDriverName = "TavrikIPCapture";

  CCommonChannel(uint32_t channelIndex, IDriver* driver, IFrameSink* frameSink);
  ~CCommonChannel() override;

 protected:
  // A stop cancels the stream update in progress rather than waiting out
  // the camera's time-out; the next start sends again.
  void WakeWorker() override;
  void PrepareWorker() override;

  // The request for the current settings and this camera's standard and group.
  STREAM_CONFIGURATION MakeConfiguration(StreamCodec codec);
  // Sends the stream update; a failure's text reaches the host's log.
  bool ConfigureStream(StreamCodec codec);
  // Tells the log, once per cause, why the stream update failed.
  void ReportHttpFailure(const std::string& request, const CResultDef& outcome);
  uint32_t StreamBitRateKbps() const override { return streamBitRateKbps.load(); }
  // Port from custom parameter 2, path of the codec.
  void FillPortAndPath(RTSP_SESSION_INFO& info, StreamCodec codec);

  Web::CHttpSender sender;
  // Of the configuration last sent.
  std::atomic<uint32_t> streamBitRateKbps{0};
};

}  // namespace quenlix
