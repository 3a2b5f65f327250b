#include "channels/common_channel.h"

#include "camera/http_utils.h"

namespace quenlix {

namespace {

constexpr uint32_t kParamRtspPort = 2;
constexpr uint32_t kParamCameraGroup = 4;

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

bool CCommonChannel::ConfigureStream(StreamCodec codec) {
  const std::string request = BuildStreamUpdateRequest(MakeConfiguration(codec));
  return HUtils::HttpGetLogged(request, sender, driver);
}

void CCommonChannel::FillPortAndPath(RTSP_SESSION_INFO& info, StreamCodec codec) {
  info.port = RtspPortOf(driver->GetCustomInt(kParamRtspPort));
  const STREAM_SETTINGS settings = GetSettings();
  const char* name = ResolutionName(driver->GetVariantFlag(), settings.width, settings.height);
  info.path = StreamPathOf(codec, driver->GetCustomInt(kParamCameraGroup), name);
}

}  // namespace quenlix
