// A camera channel that receives one video stream as RTP over UDP from the
// camera's address, hands packets to its codec's depacketizer, passes the
// finished frames to the host, and supervises the stream once a second.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "channels/base_camera_channel.h"
#include "channels/loss_report.h"
#include "channels/stream_diagnostics.h"
#include "media/media_parser_client.h"
#include "media/rtp_media_parser.h"
#include "platform/platform.h"
#include "platform/socket.h"
#include "rtp/rtp_packet.h"
#include "rtp/rtp_receiver.h"

namespace quenlix {

class CBaseRTPChannel : public CBaseCameraChannel,
                        public IRTPReceiverUser,
                        public IMediaParserClient {
 public:
  static constexpr uint32_t kCycleMs = 1000;

  CBaseRTPChannel(uint32_t channelIndex, IDriver* driver, IFrameSink* frameSink);
  ~CBaseRTPChannel() override;

  uint32_t Run() override;
  // Once per supervision cycle while the stream runs.
  virtual void OnTick() {}
  virtual bool InitSession() { return true; }
  virtual void EndSession() {}
  virtual bool StartSession() { return true; }
  // Makes this channel the receiver's user and opens its port on a free
  // local port.
  virtual bool OpenRtpPort();
  virtual bool PrepareParser() = 0;
  virtual void SendKeepAlive() = 0;
  virtual void OnMediaPacket(const RTPPacket& packet) = 0;
  // The stream's bit rate as configured, which sizes the socket's receive
  // queue; 0 when unknown. Asked after PrepareParser.
  virtual uint32_t StreamBitRateKbps() const { return 0; }
  // The depacketizer, for its drop counts; null where there is none.
  virtual const CRTPMediaParser* MediaParser() const { return nullptr; }

  void OnRTPPacket(CRTPReceiver* from, const platform::SocketAddress& address,
                   const RTPPacket& packet) override;
  void OnReceiveTimeout() override {}
  void OnReceiverClosed(CRTPReceiver*) override {}

  bool OnFrame(IMediaSample* sample) override;
  std::pair<uint32_t, uint32_t> GetResolution() override;

  // Cumulative over restarts; any thread.
  RECEPTION_COUNTS GetReceptionCounts() const;

  uint32_t GetLocalRtpPort() const { return localRtpPort.load(); }
  uint32_t GetCameraAddress() const { return cameraAddress; }

 protected:
  bool StartReception();
  void StopReception();
  // Tells the log of a session that has brought no frame in its first
  // seconds, and why.
  void ReportQuietSession();
  // The log line of a minute with loss, through the repeat throttle.
  void ReportLoss();
  // The channel's totals when it ends, if the network disturbed anything.
  void ReportTotals();

  std::atomic<uint32_t> localRtpPort{0};
  std::unique_ptr<CRTPReceiver> receiver;
  uint64_t lastKeepAlive = 0;
  platform::Event dataEvent;
  uint32_t cameraAddress;
  CStreamDiagnostics diagnostics;
  CLossReport lossReport;
};

}  // namespace quenlix
