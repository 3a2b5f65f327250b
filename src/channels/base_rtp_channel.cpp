#include "channels/base_rtp_channel.h"

#include <new>

#include "camera/http_utils.h"
#include "camera/text_helpers.h"

namespace quenlix {

namespace {

constexpr const char kRunName[] = "quenlix::CBaseRTPChannel::Run";
constexpr char kReportLossName[] = "quenlix::CBaseRTPChannel::ReportLoss";

uint32_t CameraAddressOf(IDriver* driver) {
  if (driver == nullptr) return 0;
  return platform::InetAddr(driver->GetDeviceInfo().address.c_str());
}

}  // namespace

CBaseRTPChannel::CBaseRTPChannel(uint32_t index, IDriver* owner, IFrameSink* sink)
    : CBaseCameraChannel(index, owner, sink),
      dataEvent(platform::CreateEvent(false, false)),
      cameraAddress(CameraAddressOf(owner)),
      diagnostics(owner) {}

CBaseRTPChannel::~CBaseRTPChannel() {
  // The worker calls the hooks of this class; it must be gone before they are.
  StopWorker();
  StopReception();
  if (dataEvent != nullptr) platform::CloseEvent(dataEvent);
}

bool CBaseRTPChannel::OpenRtpPort() {
  if (receiver == nullptr) return false;
  receiver->SetUser(this);
  if (receiver->Port().Open(0) != kPortOpened) return false;
  localRtpPort.store(receiver->Port().LocalPort());
  return true;
}

void CBaseRTPChannel::OnRTPPacket(CRTPReceiver*, const platform::SocketAddress& address,
                                  const RTPPacket& packet) {
  if (address.address != cameraAddress) return;
  if (dataEvent != nullptr) platform::SetEvent(dataEvent);
  diagnostics.OnPacket();
  OnMediaPacket(packet);
}

bool CBaseRTPChannel::OnFrame(IMediaSample* sample) {
  if (frameSink == nullptr) return false;
  if (!frameSink->Deliver(sample)) {
    diagnostics.OnFrameRefused();
    return false;
  }
  diagnostics.OnFrameAccepted();
  TouchAcceptedFrame();
  SetCameraState(true);
  return true;
}

std::pair<uint32_t, uint32_t> CBaseRTPChannel::GetResolution() {
  return {settings.width, settings.height};
}

RECEPTION_COUNTS CBaseRTPChannel::GetReceptionCounts() const {
  const CRTPMediaParser* parser = MediaParser();
  return parser != nullptr ? parser->GetReceptionCounts() : RECEPTION_COUNTS{};
}

void CBaseRTPChannel::ReportLoss() {
  LOSS_MINUTE minute;
  if (!lossReport.Check(platform::MonotonicMs(), GetReceptionCounts(), &minute)) return;
  if (driver == nullptr || !HUtils::ShouldReport(driver)) return;
  driver->DebugMessage(kLevelInfo,
                       "%s: Camera %s stream %u: %llu of %llu packets lost in the last minute, "
                       "%llu frames dropped",
                       kReportLossName, GetDeviceInfo().address.c_str(), channelIndex,
                       static_cast<unsigned long long>(minute.lost),
                       static_cast<unsigned long long>(minute.expected),
                       static_cast<unsigned long long>(minute.framesDropped));
}

void CBaseRTPChannel::ReportTotals() {
  const RECEPTION_COUNTS c = GetReceptionCounts();
  if (driver == nullptr) return;
  if (c.lost + c.duplicated + c.reordered + c.late + c.framesDropped == 0) return;
  driver->DebugMessage(
      kLevelInfo,
      "%s: Camera %s stream %u: %llu packets received, %llu lost, %llu "
      "duplicated, %llu reordered, %llu repaired, %llu late; %llu frames dropped",
      kRunName, GetDeviceInfo().address.c_str(), channelIndex,
      static_cast<unsigned long long>(c.received), static_cast<unsigned long long>(c.lost),
      static_cast<unsigned long long>(c.duplicated), static_cast<unsigned long long>(c.reordered),
      static_cast<unsigned long long>(c.repaired), static_cast<unsigned long long>(c.late),
      static_cast<unsigned long long>(c.framesDropped));
}

bool CBaseRTPChannel::StartReception() {
  StopReception();
  bool ok = PrepareParser();
  if (ok) {
    receiver.reset(new (std::nothrow) CRTPReceiver);
    if (receiver != nullptr) receiver->SetStreamBitRate(StreamBitRateKbps());
    ok = receiver != nullptr && InitSession() && OpenRtpPort() && StartSession();
  }
  if (!ok) {
    StopReception();
    return false;
  }
  TouchLastFrame();
  SetState(CameraStreaming);
  diagnostics.OnSessionPlaying(platform::MonotonicMs(), MediaParser());
  return true;
}

void CBaseRTPChannel::ReportQuietSession() {
  const CStreamDiagnostics::Verdict verdict =
      diagnostics.CheckSession(platform::MonotonicMs(), MediaParser());
  if (verdict != CStreamDiagnostics::kSessionNoPackets &&
      verdict != CStreamDiagnostics::kSessionAllDropped) {
    return;
  }
  const std::string address = GetDeviceInfo().address;
  const unsigned port = localRtpPort.load();
  if (verdict == CStreamDiagnostics::kSessionNoPackets) {
    diagnostics.Report("no RTP", kLevelError,
                       FormatString("%s: no RTP from %s reaches UDP port %u: check firewalls and "
                                    "NAT between camera and recorder",
                                    kRunName, address.c_str(), port));
    return;
  }
  const std::string& summary = diagnostics.DropSummary();
  diagnostics.Report(
      "dropped: " + diagnostics.DropReasons(), kLevelError,
      FormatString("%s: RTP from %s reaches UDP port %u but every frame was dropped for %u s (%s)",
                   kRunName, address.c_str(), port,
                   unsigned(CStreamDiagnostics::kQuietSessionMs / 1000),
                   summary.empty() ? "no drop reason counted" : summary.c_str()));
}

void CBaseRTPChannel::StopReception() {
  diagnostics.OnSessionEnded();
  SetState(CameraStopped);
  SetCameraState(false);
  if (receiver != nullptr) {
    receiver->SetUser(nullptr);
    receiver->Port().Close();
    receiver.reset();
    localRtpPort.store(0);
  }
  EndSession();
}

uint32_t CBaseRTPChannel::Run() {
  for (;;) {
    switch (GetState()) {
      case CameraStreaming:
        OnTick();
        ReportQuietSession();
        ReportLoss();
        break;
      case CameraSignalLost:
        // Report the loss while the state still says so: StopReception sets
        // the stopped state first, which would log an ordinary stop instead.
        SetCameraState(false);
        StopReception();
        StartReception();
        break;
      default:
        StartReception();
        break;
    }
    // A cycle ends early when the verdict on a new session falls due, so
    // that a silent camera is reported 5 s after PLAY, not up to 6.
    const uint32_t waitMs = diagnostics.MsUntilVerdict(platform::MonotonicMs(), kCycleMs);
    platform::WaitResult wait = platform::WaitForEvent(stopEvent, waitMs);
    bool stop =
        wait == platform::WaitResult::kSignalled || wait == platform::WaitResult::kAbandoned;
    // A broken event must not turn the loop into a busy one.
    if (wait == platform::WaitResult::kFailed) platform::SleepMs(kCycleMs);

    if (MsSinceLastFrame() <= GetDeviceInfo().signalTimeoutMs) {
      if (stop) break;
      continue;
    }
    if (stop) break;
    SetState(CameraSignalLost);
    // Measured from the last frame the host took: a camera whose sessions
    // start but carry nothing must still be reported lost, although each
    // restart moves the last-frame time.
    if (uint64_t(MsSinceAcceptedFrame()) <= 2ull * GetDeviceInfo().signalTimeoutMs) continue;
    if (frameSink != nullptr) frameSink->OnSignalLost();
    SetCameraState(false);
  }
  StopReception();
  ReportTotals();
  return 0;
}

}  // namespace quenlix
