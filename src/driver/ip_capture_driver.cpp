#include "driver/ip_capture_driver.h"

#include <cstdarg>
#include <new>

#include "camera/text_helpers.h"
#include "driver/debug_info.h"
#include "driver/ip_video_capture.h"
#include "platform/decimal.h"
#include "platform/platform.h"

namespace quenlix {

namespace {

const char kUnsetParameter[] = "(none)";

}  // namespace

int32_t ParseCustomInt(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return kNoValue;
  // The limit lets INT32_MIN through.
  const DecimalRun run = ReadDecimal(text, i, uint64_t(INT32_MAX) + 1);
  if (run.overflow || i + run.digits != text.size()) return kNoValue;
  if (negative) return int32_t(-int64_t(run.value));
  if (run.value > uint64_t(INT32_MAX)) return kNoValue;
  return int32_t(run.value);
}

CIPCaptureDriver::CIPCaptureDriver() = default;

CIPCaptureDriver::~CIPCaptureDriver() { Close(); }

bool CIPCaptureDriver::Open(IDebugSink* sink, ISampleAllocator* allocator, ICameraConfig* config) {
  // A host that hands over no configuration gets a refusal, not a crash.
  if (config == nullptr) return false;
  INetworkConfig* network = config->GetNetwork();
  IDeviceConfig* device = config->GetDevice();
  if (network == nullptr || device == nullptr) return false;
  debugSink = sink;
  sampleAllocator = allocator;
  codecType = network->GetCodecType();
  inputCount = device->GetInputCount();
  outputCount = device->GetOutputCount();
  channelCount = device->GetChannelCount();
  const char* address = network->GetAddress();
  deviceInfo.address = address != nullptr ? address : "";
  deviceInfo.port = network->GetPort();
  const char* user = network->GetUserName();
  deviceInfo.userName = user != nullptr ? user : "";
  const char* password = network->GetPassword();
  deviceInfo.password = password != nullptr ? password : "";
  ReadCustomParameters(config);
  ReadHostVersion();
  if (!CreateIOApi()) return false;
  if (!CreateAuxObject()) return false;
  CreateVideoCapture();
  return true;
}

void CIPCaptureDriver::ReadCustomParameters(ICameraConfig* config) {
  for (uint32_t index = 1;; ++index) {
    const char* text = config->GetCustomParameter(index);
    if (text == nullptr) break;
    customParams[index] = text;
  }
}

void CIPCaptureDriver::ReadHostVersion() {
  uint16_t version[4] = {0, 0, 0, 0};
  if (!platform::GetModuleFileVersion(kHostLibrary, version)) {
    hostVersion = kFallbackHostVersion;
    return;
  }
  hostVersion = HostVersion{version[0], version[1], version[2], version[3]};
}

void CIPCaptureDriver::CreateVideoCapture() {
  // An Open without Close must not leave the earlier streams running.
  videoCapture.reset();
  videoCapture.reset(new (std::nothrow) CIPVideoCapture(channelCount, this, this));
}

void CIPCaptureDriver::Close() {
  videoCapture.reset();
  ioApi.reset();
  auxObject.reset();
}

std::string CIPCaptureDriver::GetCustomString(uint32_t index) {
  const auto it = customParams.find(index);
  if (it == customParams.end() || it->second == kUnsetParameter) return std::string();
  return it->second;
}

int32_t CIPCaptureDriver::GetCustomInt(uint32_t index) {
  const auto it = customParams.find(index);
  if (it == customParams.end()) return kNoValue;
  return ParseCustomInt(it->second);
}

void CIPCaptureDriver::DebugMessage(uint32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text;
  try {
    text = HUtils::FormatStringV(format, args);
  } catch (const std::bad_alloc&) {
    va_end(args);
    return;
  }
  va_end(args);
  PostToSink(level, text);
}

void CIPCaptureDriver::PostToSink(uint32_t level, const std::string& text) {
  if (level == kLevelNotSent) return;
  if (debugSink == nullptr) return;
  CDebugInfo record(text.c_str(), AdaptMessageLevel(level, hostVersion.major, hostVersion.minor));
  debugSink->Post(&record);
}

}  // namespace quenlix
