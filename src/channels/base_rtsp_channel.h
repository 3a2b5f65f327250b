// The layer of a camera channel that runs the camera's stream over RTSP: per
// session an RTSP client and an RTCP companion, the local RTP/RTCP port
// pair, DESCRIBE, SETUP and PLAY, keep-alives at half the session time-out,
// and TEARDOWN. Codec channels fill in the port and path and take what
// DESCRIBE delivered.
#pragma once

#include <cstdint>
#include <memory>

#include "channels/base_rtp_channel.h"
#include "rtp/rtcp_session.h"
#include "rtsp/base_rtsp_client.h"

namespace quenlix {

class CBaseRTSPChannel : public CBaseRTPChannel {
 public:
  static constexpr uint32_t kFirstRtpPort = 3556;
  static constexpr uint32_t kPortRangeEnd = 4556;  // first port no longer tried
  // A pair that receives camera data before any SETUP named it is still fed
  // by an earlier session: give it this long to show itself.
  static constexpr uint32_t kPortProbeMs = 2000;
  // How often the port probe looks at the stop event.
  static constexpr uint32_t kStopPollMs = 100;
  static constexpr uint32_t kLogError = 1;

  CBaseRTSPChannel(uint32_t channelIndex, IDriver* driver, IFrameSink* frameSink);
  ~CBaseRTSPChannel() override;

  void OnTick() override;
  bool InitSession() override;
  void EndSession() override;
  bool StartSession() override;
  bool OpenRtpPort() override;
  void SendKeepAlive() override;
  // Counts each packet for the receiver reports, then passes it on.
  void OnRTPPacket(CRTPReceiver* from, const platform::SocketAddress& address,
                   const RTPPacket& packet) override;

  virtual CBaseRTSPClient* CreateRTSPClient();
  // Codec channels set port and path.
  virtual void FillSessionInfo(RTSP_SESSION_INFO& info) { (void)info; }
  virtual void OnSessionDescribed() {}

  uint32_t GetLocalRtcpPort() const { return localRtcpPort; }

 protected:
  bool StopRequested();
  // One step of StartSession; tells the log, once, of refused credentials.
  bool SendStep(int method);
  // Tell the log, once per cause, why the session could not be set up.
  void ReportConnectFailure(const RTSP_SESSION_INFO& info);
  void ReportStepFailure(int method);

  std::unique_ptr<CBaseRTSPClient> rtspClient;
  std::unique_ptr<CRTCPSession> rtcpSession;
  uint32_t localRtcpPort = 0;

 private:
  enum class ProbeResult { kQuiet, kBusy, kStopped };
  // Waits kPortProbeMs for a stranger's datagram on the port just opened.
  ProbeResult ProbePort();

  // Set once the refusal is reported; cleared when a session gets through.
  bool refusalReported = false;
};

}  // namespace quenlix
