// fuzz-module: camera
// The parameter-list reader over arbitrary text: GetKeyValue with the
// separators and delimiters the driver uses, and the whole properties parse
// with its hand-over to a results object that checks what it is given.
#include <cstdlib>
#include <string>

#include "camera/resolution_tables.h"
#include "camera/tavrik_camera_properties.h"
#include "camera/text_helpers.h"
#include "quenlix/capability.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// Every part of the results in one object, each checking what it is given.
class CheckingResults : public quenlix::ICapabilityResults,
                        public quenlix::ICapabilityTextField,
                        public quenlix::ICapabilityProperty,
                        public quenlix::ICapabilityResolutionList,
                        public quenlix::ICapabilityFrameRateList {
 public:
  void Reserved0() override {}
  void Reserved2() override {}
  void Reserved3() override {}
  void Reserved4() override {}
  void Reserved7() override {}
  // The results.
  void SetCapability(uint32_t, uint32_t) override {}
  void SetModelName(const char* name) override { Check(name != nullptr); }
  quenlix::ICapabilityTextField* GetConnectionField(uint32_t index) override {
    Check(index >= 1 && index <= 4);
    return this;
  }
  quenlix::ICapabilityProperty* AddProperty(uint32_t id) override {
    Check(id >= 1 && id <= 4);
    return this;
  }
  quenlix::ICapabilityResolutionList* GetResolutionList() override { return this; }
  quenlix::ICapabilityFrameRateList* GetFrameRateList(uint32_t which) override {
    Check(which == 1);
    return this;
  }
  // A connection field.
  void SetText(const char* text) override { Check(text != nullptr); }
  // A property.
  void SetValue(const char* v) override { Check(v != nullptr && *v != '\0'); }
  void SetFlag(uint32_t) override {}
  void SetName(const char* n) override { Check(n != nullptr); }
  void SetReserved(uint32_t v) override { Check(v == 0); }
  // The resolutions and frame rates.
  void AddResolution(const char* name, uint32_t w, uint32_t h, uint32_t ms) override {
    Check(name != nullptr && w > 0 && w <= 1920 && h > 0 && h <= 1080 && ms <= 1000);
    ++resolutions;
  }
  void SetDefaultInterval(uint32_t ms) override { Check(ms > 0 && ms <= 1000); }
  void AddInterval(uint32_t ms) override { Check(ms > 0 && ms <= 1000); }

  int resolutions = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  // The first line, if short, doubles as a key to look up in the rest.
  const size_t nl = text.find('\n');
  if (nl != std::string::npos && nl < 64) {
    const std::string key = text.substr(0, nl);
    const std::string rest = text.substr(nl + 1);
    const std::string v1 = quenlix::GetKeyValue(key, "=", rest, "\r\n");
    const std::string v2 = quenlix::GetKeyValue(key, " ", rest, ";");
    const std::string v3 = quenlix::GetKeyValue(key, "=", rest, ", \r\n");
    Check(v1.size() <= rest.size() && v2.size() <= rest.size() && v3.size() <= rest.size());
    Check(v1.find_first_of("\r\n") == std::string::npos);
  }
  Check(quenlix::TrimBlanks(text).size() <= text.size());

  quenlix::DEVICE_INFO info;
  info.address = "127.0.0.1";
  info.port = 1;
  quenlix::CTavrikCameraProperties properties(info);
  const bool ok = properties.ParseParameterList(text);
  Check(properties.rtspPort >= 1 && properties.rtspPort <= 65535);
  Check(properties.resolutions.size() <= quenlix::kResolutionNameCount);
  Check(properties.cameraGroup == 1 || properties.cameraGroup == 2);
  if (ok) {
    CheckingResults results;
    Check(properties.SaveResults(&results));
    Check(results.resolutions == int(properties.resolutions.size()));
  }
  return 0;
}
