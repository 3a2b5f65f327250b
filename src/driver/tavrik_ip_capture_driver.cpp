#include "driver/tavrik_ip_capture_driver.h"

#include "driver/debug_info.h"

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
  DebugMessage(kLevelOpened, "DRIVER IS OPENED (name: %s, device model: %s, FW: %s, address: %s:%u)",
               kDriverName, OrEmpty(config->GetDevice()->GetModelName()), firmware.c_str(),
               OrEmpty(network->GetAddress()), unsigned(network->GetPort()));
  return true;
}

bool CTavrikIPCaptureDriver::CreateIOApi() {
  // The digital I/O object arrives with its own work; until then the driver
  // runs without one, exactly as after a failed allocation.
  return true;
}

ICameraChannel* CTavrikIPCaptureDriver::CreateChannel(uint32_t, IFrameSink*) {
  // No codec channel classes yet: every codec type is unknown.
  return nullptr;
}

}  // namespace quenlix
