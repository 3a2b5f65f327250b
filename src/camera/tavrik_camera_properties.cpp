#include "camera/tavrik_camera_properties.h"

#include <cctype>
#include <vector>

#include "camera/http_utils.h"
#include "camera/resolution_tables.h"
#include "camera/text_helpers.h"
#include "platform/decimal.h"

namespace quenlix {

namespace {

constexpr const char* kSeparator = "=";
constexpr const char* kDelimiters = "\r\n";
constexpr const char* kBrandMark = "Siqura";

constexpr uint32_t kPalRate = 25, kPalLowRate = 5, kPalReducedRate = 12;
constexpr uint32_t kNtscRate = 30, kNtscLowRate = 6, kNtscReducedRate = 15;
constexpr uint32_t kMaskMjpegH264 = CodecMjpeg | CodecH264;
constexpr uint32_t kMaskAllThree = CodecMjpeg | CodecMpeg4 | CodecH264;
constexpr uint32_t kMaxPort = 65535;

enum PropertyId : uint32_t {
  PropertyVideoStandard = 1,
  PropertyRtspPort = 2,
  PropertyFirmwareVersion = 3,
  PropertyCameraGroup = 4,
};

std::string Value(const char* key, const std::string& text) {
  return GetKeyValue(key, kSeparator, text, kDelimiters);
}

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

// The names in a camera's list value ("qvga,vga,720p"), split at anything
// that cannot be part of a name.
std::vector<std::string> NameTokens(const std::string& value) {
  std::vector<std::string> tokens;
  std::string current;
  for (unsigned char c : value) {
    if (std::isalnum(c)) {
      current += char(c);
    } else if (!current.empty()) {
      tokens.push_back(current);
      current.clear();
    }
  }
  if (!current.empty()) tokens.push_back(current);
  return tokens;
}

void AddNamedProperty(ICapabilityResults* results, uint32_t id, const char* name,
                      const std::string& value, uint32_t flag) {
  if (name == nullptr || *name == '\0') return;
  ICapabilityProperty* property = results->AddProperty(id);
  if (property == nullptr) return;
  property->SetName(name);
  property->SetReserved(0);
  property->SetFlag(flag);
  property->SetValue(value.empty() ? "(none)" : value.c_str());
}

}  // namespace

uint32_t ReadDecimalValue(const std::string& value) {
  size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  const DecimalRun n = ReadDecimal(value, i, UINT32_MAX);
  // A count or port this large is no real value; ignore it.
  if (n.overflow || negative) return 0;
  return uint32_t(n.value);
}

CTavrikCameraProperties::CTavrikCameraProperties(const DEVICE_INFO& info)
    : CCameraPropertiesEx(info), sender(info) {}

bool CTavrikCameraProperties::ReadProperties(uint32_t& level) {
  const std::string text = FetchParameterList();
  const bool ok = !text.empty() && ParseParameterList(text);
  propertiesRead = 1;
  if (!ok) level = 3;
  return ok;
}

std::string CTavrikCameraProperties::FetchParameterList() {
  std::vector<uint8_t> body;
  const CResultDef outcome = HUtils::RequestGetRD(kParameterListPath, body, sender, true);
  if (outcome.code != ResultOk || body.empty()) return std::string();
  // RequestGetRD ends the body with a zero byte; the text stops at the first.
  return std::string(reinterpret_cast<const char*>(body.data()));
}

bool CTavrikCameraProperties::ParseParameterList(const std::string& list) {
  propertiesRead = 1;
  // The list is text and ends at its first zero byte, as it does when read
  // from the camera; a value must not hide an empty text behind bytes that
  // the host would never see.
  const std::string text = list.substr(0, list.find('\0'));
  if (!CheckBrand(text)) return false;
  bool ok = true;
  if (!aborted) ReadVideoStandard(text);
  if (!aborted) ReadRtspPort(text);
  if (!aborted) ok = ReadImageProperties(text);
  if (ok && !aborted) ReadIOCounts(text);
  return ok;
}

bool CTavrikCameraProperties::CheckBrand(const std::string& text) {
  const std::string brandValue = Value("root.Brand.Brand", text);
  if (brandValue.empty() || !Contains(brandValue, kBrandMark)) return false;
  const std::string shortName = Value("root.Brand.ProdShortName", text);
  if (shortName.empty()) return false;
  brand = brandValue;
  modelName = brand + " " + shortName;
  return true;
}

void CTavrikCameraProperties::ReadVideoStandard(const std::string& text) {
  if (Contains(Value("root.ImageSource.I0.Video.DetectedType", text), "ntsc")) {
    videoStandard = VideoStandardNtsc;
  }
}

void CTavrikCameraProperties::ReadRtspPort(const std::string& text) {
  const uint32_t port = ReadDecimalValue(Value("root.Network.RTSP.Port", text));
  // A port outside 1..65535 cannot be connected to; keep the default.
  if (port != 0 && port <= kMaxPort) rtspPort = port;
}

bool CTavrikCameraProperties::ReadImageProperties(const std::string& text) {
  const std::string format = Value("root.Properties.Image.Format", text);
  if (format.empty()) return false;
  ReadCodecs(format);
  ReadFrameRates();

  const std::string resolution = Value("root.Properties.Image.Resolution", text);
  if (resolution.empty()) return false;
  BuildResolutionList(resolution);

  if (Contains(Value("root.Properties.Audio.Audio", text), "yes")) hasAudio = true;
  firmwareVersion = Value("root.Properties.Firmware.Version", text);
  if (firmwareVersion.empty()) firmwareVersion = "none";
  return true;
}

void CTavrikCameraProperties::ReadCodecs(const std::string& format) {
  codecs.clear();
  uint32_t mask = 0;
  if (Contains(format, "mjpeg")) codecs.push_back(CodecMjpeg);
  if (Contains(format, "mpeg4")) codecs.push_back(CodecMpeg4);
  if (Contains(format, "h264")) codecs.push_back(CodecH264);
  for (uint32_t c : codecs) mask += c;
  if (mask == kMaskAllThree) {
    cameraGroup = 2;
  } else if (mask == kMaskMjpegH264) {
    cameraGroup = 1;
  }
}

void CTavrikCameraProperties::ReadFrameRates() {
  const bool ntsc = videoStandard == VideoStandardNtsc;
  frameRates.insert(ntsc ? kNtscLowRate : kPalLowRate);
  frameRates.insert(ntsc ? kNtscRate : kPalRate);
  if (cameraGroup == 1) {
    frameRates.insert(2);
    frameRates.insert(3);
  } else if (cameraGroup == 2) {
    frameRates.insert(1);
    reducedRate = ntsc ? kNtscReducedRate : kPalReducedRate;
    frameRates.insert(reducedRate / 2);
    frameRates.insert(reducedRate / 5);
    frameRates.insert(reducedRate);
  }
}

void CTavrikCameraProperties::BuildResolutionList(const std::string& value) {
  const uint32_t maxRate = frameRates.empty() ? 0 : *frameRates.rbegin();
  const std::vector<std::string> offered = NameTokens(value);
  const RESOLUTION_NAME* table = ResolutionTable(videoStandard);
  for (size_t i = 0; i < kResolutionNameCount; ++i) {
    const RESOLUTION_NAME& size = table[i];
    // Whole names only: "qvga" does not offer "vga", nor "qcif" "cif".
    bool listed = false;
    for (const std::string& token : offered) listed = listed || token == size.name;
    if (!listed) continue;
    bool duplicate = false;
    for (const RESOLUTION_ENTRY& e : resolutions) {
      duplicate = duplicate || (e.width == size.width && e.height == size.height);
    }
    if (duplicate) continue;
    const bool quadVga = std::string(size.name) == "quadvga";
    const uint32_t rate =
        quadVga ? (videoStandard == VideoStandardNtsc ? kNtscReducedRate : kPalReducedRate)
                : maxRate;
    RESOLUTION_ENTRY entry;
    entry.width = size.width;
    entry.height = size.height;
    if (rate != 0) entry.frameIntervals.push_back(1000 / rate);
    resolutions.push_back(entry);
  }
}

void CTavrikCameraProperties::ReadIOCounts(const std::string& text) {
  if (uint32_t n = ReadDecimalValue(Value("root.Input.NbrOfInputs", text))) inputCount = n;
  if (uint32_t n = ReadDecimalValue(Value("root.Output.NbrOfOutputs", text))) outputCount = n;
}

void CTavrikCameraProperties::SaveFrameRates(ICapabilityResults* results) {
  ICapabilityFrameRateList* list = results->GetFrameRateList(1);
  if (list == nullptr) return;
  for (uint32_t rate : frameRates) list->AddInterval(1000 / rate);
  if (reducedRate != 0) {
    list->SetDefaultInterval(1000 / reducedRate);
  } else if (!frameRates.empty()) {
    list->SetDefaultInterval(1000 / *frameRates.rbegin());
  }
}

void CTavrikCameraProperties::SaveNamedProperties(ICapabilityResults* results) {
  AddNamedProperty(results, PropertyVideoStandard, "Video standard",
                   videoStandard == VideoStandardNtsc ? "1" : "0", 0);
  AddNamedProperty(results, PropertyRtspPort, "RTSP port", FormatString("%d", int(rtspPort)), 0);
  AddNamedProperty(results, PropertyFirmwareVersion, "Firmware version", firmwareVersion, 1);
  AddNamedProperty(results, PropertyCameraGroup, "Camera group",
                   FormatString("%d", int(cameraGroup)), 0);
}

bool CTavrikCameraProperties::SaveResults(ICapabilityResults* results) {
  if (results == nullptr) return false;
  SaveFrameRates(results);
  results->SetCapability(kCapFlag11, 0);
  results->SetCapability(kCapFlag12, 0);
  if (!CCameraPropertiesEx::SaveResults(results)) return false;
  SaveNamedProperties(results);
  return true;
}

}  // namespace quenlix
