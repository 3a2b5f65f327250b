#include "channels/base_rtsp_channel.h"

#include <new>

#include "camera/http_utils.h"
#include "camera/text_helpers.h"

namespace quenlix {
namespace {

constexpr const char kStartSessionName[] = "quenlix::CBaseRTSPChannel::StartSession";
constexpr uint32_t kMsPerSecond = 1000;

}  // namespace

CBaseRTSPChannel::CBaseRTSPChannel(uint32_t index, IDriver* owner, IFrameSink* sink)
    : CBaseRTPChannel(index, owner, sink) {}

CBaseRTSPChannel::~CBaseRTSPChannel() {
  // The bases' destructors can no longer reach this class's EndSession, so
  // the worker is ended and the session torn down here.
  StopWorker();
  EndSession();
}

CBaseRTSPClient* CBaseRTSPChannel::CreateRTSPClient() { return new (std::nothrow) CBaseRTSPClient; }

bool CBaseRTSPChannel::StopRequested() {
  const platform::WaitResult wait = platform::WaitForEvent(stopEvent, 0);
  return wait == platform::WaitResult::kSignalled || wait == platform::WaitResult::kAbandoned;
}

bool CBaseRTSPChannel::InitSession() {
  rtspClient.reset(CreateRTSPClient());
  if (rtspClient == nullptr) return false;
  rtspClient->SetStopEvent(stopEvent);
  rtcpSession.reset(new (std::nothrow) CRTCPSession(cameraAddress));
  return rtcpSession != nullptr;
}

CBaseRTSPChannel::ProbeResult CBaseRTSPChannel::ProbePort() {
  // In slices, so that a stop never waits out the whole probe.
  for (uint32_t waited = 0; waited < kPortProbeMs; waited += kStopPollMs) {
    if (platform::WaitForEvent(dataEvent, kStopPollMs) == platform::WaitResult::kSignalled) {
      return ProbeResult::kBusy;
    }
    if (StopRequested()) return ProbeResult::kStopped;
  }
  return ProbeResult::kQuiet;
}

bool CBaseRTSPChannel::OpenRtpPort() {
  if (receiver == nullptr || rtcpSession == nullptr) return false;
  receiver->SetUser(this);
  for (uint32_t port = kFirstRtpPort; port < kPortRangeEnd; port += 2) {
    if (StopRequested()) return false;
    platform::ResetEvent(dataEvent);
    if (receiver->Port().Open(uint16_t(port)) != kPortOpened) continue;
    const ProbeResult probe = ProbePort();
    if (probe != ProbeResult::kQuiet) {
      receiver->Port().Close();
      if (probe == ProbeResult::kStopped) return false;
      continue;
    }
    if (rtcpSession->Open(uint16_t(port + 1)) && rtcpSession->StartThread()) {
      localRtpPort.store(port);
      localRtcpPort = port + 1;
      return true;
    }
    receiver->Port().Close();
  }
  return false;
}

bool CBaseRTSPChannel::SendStep(int method) {
  if (rtspClient->SendRequest(method)) return true;
  if (!rtspClient->CredentialsRefused()) ReportStepFailure(method);
  // Marked as reported only once it was: a refusal the throttle held back is
  // offered again on the next attempt instead of going unlogged.
  if (rtspClient->CredentialsRefused() && !refusalReported && driver != nullptr) {
    if (HUtils::ShouldReport(driver)) {
      refusalReported = true;
      const DEVICE_INFO info = GetDeviceInfo();
      driver->DebugMessage(kLogError, "%s: Camera %s refused the credentials of user \"%s\"",
                           "quenlix::CBaseRTSPChannel::StartSession", info.address.c_str(),
                           info.userName.c_str());
    }
  }
  return false;
}

void CBaseRTSPChannel::OnRTPPacket(CRTPReceiver* from, const platform::SocketAddress& address,
                                   const RTPPacket& packet) {
  // The RTCP session lives as long as the port that calls here.
  if (rtcpSession != nullptr && address.address == GetCameraAddress()) {
    rtcpSession->OnRtpPacket(packet);
  }
  CBaseRTPChannel::OnRTPPacket(from, address, packet);
}

bool CBaseRTSPChannel::StartSession() {
  if (StopRequested() || rtspClient == nullptr) return false;
  const DEVICE_INFO device = GetDeviceInfo();
  RTSP_SESSION_INFO info;
  info.address = device.address;
  info.userName = device.userName;
  info.password = device.password;
  info.connectTimeoutMs = device.timeoutMs;
  info.clientRtpPort = uint16_t(localRtpPort.load());
  info.clientRtcpPort = uint16_t(localRtcpPort);
  FillSessionInfo(info);
  if (!rtspClient->Connect(info)) {
    ReportConnectFailure(info);
    return false;
  }
  if (StopRequested()) return false;
  if (!SendStep(kRtspDescribe)) return false;
  if (StopRequested()) return false;
  OnSessionDescribed();
  if (!SendStep(kRtspSetup)) return false;
  if (rtcpSession != nullptr) rtcpSession->SetPeerRtcpPort(rtspClient->Parser().serverRtcpPort);
  if (StopRequested()) return false;
  if (!SendStep(kRtspPlay)) return false;
  refusalReported = false;
  return true;
}

void CBaseRTSPChannel::ReportConnectFailure(const RTSP_SESSION_INFO& info) {
  const std::string where = FormatString("%s:%u", info.address.c_str(), unsigned(info.port));
  std::string text;
  switch (rtspClient->LastFailure()) {
    case kRtspConnectRefused:
      text = FormatString("%s: RTSP connection to %s refused", kStartSessionName, where.c_str());
      break;
    case kRtspConnectTimedOut:
      text = FormatString("%s: RTSP connection to %s timed out after %u s", kStartSessionName,
                          where.c_str(), unsigned(info.connectTimeoutMs / kMsPerSecond));
      break;
    default:
      text = FormatString("%s: RTSP connection to %s failed (socket error %d)", kStartSessionName,
                          where.c_str(), rtspClient->ConnectError());
      break;
  }
  diagnostics.Report(FormatString("rtsp connect %d", int(rtspClient->LastFailure())), kLogError,
                     text);
}

void CBaseRTSPChannel::ReportStepFailure(int method) {
  const RTSP_SESSION_INFO& info = rtspClient->SessionInfo();
  const std::string request =
      FormatString("%s rtsp://%s:%u/%s", CBaseRTSPClient::GetMethodName(method),
                   info.address.c_str(), unsigned(info.port), info.path.c_str());
  const std::string& status = rtspClient->FailedStatus();
  std::string text;
  switch (rtspClient->LastFailure()) {
    case kRtspBadStatus:
      text = FormatString("%s: %s answered %s", kStartSessionName, request.c_str(), status.c_str());
      break;
    case kRtspNoReply:
      text = FormatString("%s: %s got no reply within %u s", kStartSessionName, request.c_str(),
                          unsigned(info.receiveTimeoutMs / kMsPerSecond));
      break;
    case kRtspReplyCut:
      text = FormatString("%s: %s got a reply cut off before its end", kStartSessionName,
                          request.c_str());
      break;
    case kRtspSendFailed:
      text = FormatString("%s: %s could not be sent: the connection was lost", kStartSessionName,
                          request.c_str());
      break;
    default:
      text = FormatString("%s: %s got a reply that could not be read (%s)", kStartSessionName,
                          request.c_str(), status.empty() ? "no status line" : status.c_str());
      break;
  }
  diagnostics.Report(
      FormatString("rtsp %d %d %s", method, int(rtspClient->LastFailure()), status.c_str()),
      kLogError, text);
}

void CBaseRTSPChannel::OnTick() {
  if (rtspClient == nullptr) return;
  const uint64_t now = platform::NowFileTime();
  const uint64_t elapsedMs = (now - lastKeepAlive) / platform::kFileTimeUnitsPerMs;
  const uint32_t limitMs = rtspClient->GetSessionTimeoutMs() / 2;
  if (elapsedMs > limitMs) {
    SendKeepAlive();
    lastKeepAlive = now;
  }
}

void CBaseRTSPChannel::SendKeepAlive() {
  if (rtspClient != nullptr) rtspClient->SendRequest(kRtspOptions);
}

void CBaseRTSPChannel::EndSession() {
  if (rtspClient != nullptr) {
    rtspClient->SendRequest(kRtspTeardown);
    rtspClient->Disconnect();
    rtspClient.reset();
  }
  if (rtcpSession != nullptr) {
    rtcpSession->RequestStop();
    rtcpSession->Join();
    rtcpSession.reset();
  }
  localRtcpPort = 0;
}

}  // namespace quenlix
