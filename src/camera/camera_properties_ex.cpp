#include "camera/camera_properties_ex.h"

#include "camera/text_helpers.h"

namespace quenlix {

namespace {

enum ConnectionField : uint32_t {
  FieldAddress = 1,
  FieldPort = 2,
  FieldUserName = 3,
  FieldPassword = 4,
};

void SetField(ICapabilityResults* results, uint32_t index, const std::string& text) {
  if (ICapabilityTextField* field = results->GetConnectionField(index))
    field->SetText(text.c_str());
}

}  // namespace

bool CCameraPropertiesEx::SaveResults(ICapabilityResults* results) {
  if (results == nullptr) return false;
  results->SetModelName(modelName.c_str());

  results->SetCapability(kCapPropertiesRead, propertiesRead);
  if (inputCount != 0) results->SetCapability(kCapInputs, inputCount);
  if (outputCount != 0) results->SetCapability(kCapOutputs, outputCount);
  if (hasAudio) results->SetCapability(kCapAudio, 1);
  results->SetCapability(kCapFlag11, flagId11 ? 1 : 0);
  results->SetCapability(kCapFlag12, flagId12 ? 1 : 0);

  for (uint32_t codec : codecs) {
    if (codec == 0) break;
    if (codec == CodecMjpeg || codec == CodecJpeg) {
      results->SetCapability(kCapMjpeg, 1);
    } else if (codec == CodecMpeg4) {
      results->SetCapability(kCapMpeg4, 1);
    } else if (codec == CodecH264) {
      results->SetCapability(kCapH264, 1);
    }
  }

  if (ICapabilityResolutionList* list = results->GetResolutionList()) {
    for (const RESOLUTION_ENTRY& entry : resolutions) {
      const std::string name = FormatString("%dx%d", int(entry.width), int(entry.height));
      const uint32_t interval = entry.frameIntervals.empty() ? 0 : entry.frameIntervals.front();
      list->AddResolution(name.c_str(), entry.width, entry.height, interval);
    }
  }

  SetField(results, FieldAddress, deviceInfo.address);
  SetField(results, FieldPort, FormatString("%u", unsigned(deviceInfo.port)));
  SetField(results, FieldUserName, deviceInfo.userName);
  SetField(results, FieldPassword, deviceInfo.password);
  return true;
}

}  // namespace quenlix
