#include "channels/common_channel.h"

#include <vector>

#include "camera/http_utils.h"
#include "camera/text_helpers.h"
#include "platform/http.h"

namespace quenlix {

namespace {

constexpr uint32_t kParamRtspPort = 2;
constexpr uint32_t kParamCameraGroup = 4;
constexpr const char kConfigureStreamName[] = "quenlix::CCommonChannel::ConfigureStream";
constexpr uint32_t kMsPerSecond = 1000;

// The path without its query: the stream update's query runs to hundreds of
// characters and says nothing about why the camera could not be reached.
std::string PathOnly(const std::string& request) { return request.substr(0, request.find('?')); }

}  // namespace

CCommonChannel::CCommonChannel(uint32_t channelIndex, IDriver* driver, IFrameSink* frameSink)
    : CBaseRTSPChannel(channelIndex, driver, frameSink), sender(driver->GetDeviceInfo()) {}

CCommonChannel::~CCommonChannel() = default;

STREAM_CONFIGURATION CCommonChannel::MakeConfiguration(StreamCodec codec) {
  STREAM_CONFIGURATION config;
  config.codec = codec;
  config.settings = GetSettings();
  config.videoStandard = driver->GetVariantFlag();
  config.cameraGroup = driver->GetCustomInt(kParamCameraGroup);
  return config;
}

void CCommonChannel::WakeWorker() {
  CBaseRTSPChannel::WakeWorker();
  sender.Cancel();
}

void CCommonChannel::PrepareWorker() {
  CBaseRTSPChannel::PrepareWorker();
  sender.Resume();
}

bool CCommonChannel::ConfigureStream(StreamCodec codec) {
  const STREAM_CONFIGURATION config = MakeConfiguration(codec);
  streamBitRateKbps.store(ExpectedBitRateKbps(config));
  const std::string request = BuildStreamUpdateRequest(config);
  std::vector<uint8_t> scratch;
  const CResultDef outcome = HUtils::RequestGetRD(request, scratch, sender, false);
  if (outcome.code == ResultOk) return true;
  ReportHttpFailure(request, outcome);
  return false;
}

void CCommonChannel::ReportHttpFailure(const std::string& request, const CResultDef& outcome) {
  if (outcome.code != ResultNotSent) {
    // The camera answered: its status line says enough, and is the one
    // hosts have always seen.
    diagnostics.Report(
        FormatString("http %u %u", unsigned(outcome.code), unsigned(sender.StatusCode())),
        outcome.level, outcome.text);
    return;
  }
  const DEVICE_INFO& info = sender.DeviceInfo();
  const std::string camera = FormatString("%s:%u", info.address.c_str(), unsigned(info.port));
  const std::string path = PathOnly(request);
  const uint32_t error = sender.LastError();
  std::string text;
  switch (error) {
    case platform::kHttpErrorCannotConnect:
      text = FormatString("%s: HTTP connection to %s refused or unreachable (GET %s)",
                          kConfigureStreamName, camera.c_str(), path.c_str());
      break;
    case platform::kHttpErrorTimeout:
      text = FormatString("%s: HTTP request GET %s to %s got no answer within %u s",
                          kConfigureStreamName, path.c_str(), camera.c_str(),
                          unsigned(info.timeoutMs / kMsPerSecond));
      break;
    case platform::kHttpErrorNameNotResolved:
      text = FormatString("%s: HTTP camera address %s could not be resolved (GET %s)",
                          kConfigureStreamName, info.address.c_str(), path.c_str());
      break;
    case platform::kHttpErrorCancelled:
      return;  // the channel is stopping
    default:
      if (error == 0 && sender.StatusCode() == platform::kHttpStatusUnauthorized) {
        text =
            FormatString("%s: Camera %s refused the HTTP credentials of user \"%s\" (GET %s)",
                         kConfigureStreamName, camera.c_str(), info.userName.c_str(), path.c_str());
      } else {
        text = FormatString(
            "%s: HTTP request GET %s to %s failed: connection closed or reset "
            "before an answer (error %u)",
            kConfigureStreamName, path.c_str(), camera.c_str(), unsigned(error));
      }
      break;
  }
  diagnostics.Report(FormatString("http not sent %u", unsigned(error)), kLevelError, text);
}

void CCommonChannel::FillPortAndPath(RTSP_SESSION_INFO& info, StreamCodec codec) {
  info.port = RtspPortOf(driver->GetCustomInt(kParamRtspPort));
  const STREAM_SETTINGS settings = GetSettings();
  const char* name = ResolutionName(driver->GetVariantFlag(), settings.width, settings.height);
  info.path = StreamPathOf(codec, driver->GetCustomInt(kParamCameraGroup), name);
}

}  // namespace quenlix
