// Reads and interprets this camera family's parameter list
// ("/siqura-cgi/admin/param.cgi?action=list").
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "camera/camera_properties_ex.h"
#include "camera/http_sender.h"

namespace quenlix {

constexpr const char* kParameterListPath = "/siqura-cgi/admin/param.cgi?action=list";
constexpr uint32_t kDefaultRtspPort = 554;

class CTavrikCameraProperties : public CCameraPropertiesEx {
 public:
  explicit CTavrikCameraProperties(const DEVICE_INFO& deviceInfo);
  ~CTavrikCameraProperties() override = default;

  bool ReadProperties(uint32_t& level) override;
  bool SaveResults(ICapabilityResults* results) override;

  // Interprets a parameter list already fetched: the brand check and every
  // parsing step of ReadProperties, with the abort checks between them.
  // Sets propertiesRead. No HTTP.
  bool ParseParameterList(const std::string& text);

  // Ends an HTTP request in progress soon (and fails later ones); callable
  // from another thread. Stronger than Abort, which lets a request finish.
  void CancelTransfer() { sender.Cancel(); }

  uint32_t videoStandard = 0;  // 0 PAL, 1 NTSC
  uint32_t rtspPort = kDefaultRtspPort;
  std::set<uint32_t> frameRates;  // frames per second
  std::string firmwareVersion;
  uint32_t cameraGroup = 1;
  uint32_t reducedRate = 0;

 private:
  std::string FetchParameterList();
  bool CheckBrand(const std::string& text);
  void ReadVideoStandard(const std::string& text);
  void ReadRtspPort(const std::string& text);
  bool ReadImageProperties(const std::string& text);
  void ReadCodecs(const std::string& format);
  void ReadFrameRates();
  void BuildResolutionList(const std::string& value);
  void ReadIOCounts(const std::string& text);
  void SaveFrameRates(ICapabilityResults* results);
  void SaveNamedProperties(ICapabilityResults* results);

  Web::CHttpSender sender;
};

// A decimal parameter value: leading blanks skipped, an optional sign, then
// digits. 0 when there are no digits, when the value is negative or when it
// does not fit in 32 bits.
uint32_t ReadDecimalValue(const std::string& value);

}  // namespace quenlix
