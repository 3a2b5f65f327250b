#include "driver/tavrik_ip_capture_driver.h"

#include <new>

#include "channels/h264_channel_rtsp.h"
#include "channels/mjpeg_channel_rtsp.h"
#include "channels/mpeg4_channel_rtsp.h"
#include "driver/debug_info.h"
#include "io/digital_io.h"

namespace quenlix {

namespace {

constexpr uint32_t kParamVideoStandard = 1;
constexpr uint32_t kParamFirmware = 3;

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

bool CTavrikIPCaptureDriver::Open(IDebugSink* sink, ISampleAllocator* allocator,
                                  ICameraConfig* config) {
  if (!CIPCaptureDriver::Open(sink, allocator, config)) return false;
  deviceInfo.timeoutMs = kTimeoutMs;
  deviceInfo.signalTimeoutMs = kSignalTimeoutMs;
  const int32_t standard = GetCustomInt(kParamVideoStandard);
  if (standard != kNoValue) variantFlag = standard != 0 ? 1 : 0;
  std::string firmware = GetCustomString(kParamFirmware);
  if (firmware.empty()) firmware = "(none)";
  INetworkConfig* network = config->GetNetwork();
  DebugMessage(kLevelOpened,
               "DRIVER IS OPENED (name: %s, device model: %s, FW: %s, address: %s:%u)", kDriverName,
               OrEmpty(config->GetDevice()->GetModelName()), firmware.c_str(),
               OrEmpty(network->GetAddress()), unsigned(network->GetPort()));
  return true;
}

bool CTavrikIPCaptureDriver::CreateIOApi() {
  // A failed allocation leaves the driver without I/O, not unopened.
  if (!ioApi) ioApi.reset(new (std::nothrow) CDigitalIO(static_cast<IDriver*>(this)));
  return true;
}

ICameraChannel* CTavrikIPCaptureDriver::CreateChannel(uint32_t index, IFrameSink* sink) {
  // Null on an unknown codec or a failed allocation; nothing is thrown at the host.
  switch (GetCodecType()) {
    case 1:
      return new (std::nothrow) CMJPEGChannelRTSP(index, this, sink);
    case 2:
      return new (std::nothrow) CMPEG4ChannelRTSP(index, this, sink);
    case 3:
      return new (std::nothrow) CH264ChannelRTSP(index, this, sink);
    default:
      return nullptr;
  }
}

}  // namespace quenlix
