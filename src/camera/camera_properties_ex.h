// A camera properties object with its device info, an abort flag and the
// generic hand-over of the capability record to the host's results object.
#pragma once

#include <atomic>
#include <cstdint>

#include "camera/camera_properties.h"
#include "quenlix/capability.h"
#include "quenlix/driver.h"

namespace quenlix {

class CCameraPropertiesEx : public CCameraProperties {
 public:
  explicit CCameraPropertiesEx(const DEVICE_INFO& deviceInfo) : deviceInfo(deviceInfo) {}
  ~CCameraPropertiesEx() override = default;

  // Reads the camera; on failure stores 3 in level.
  virtual bool ReadProperties(uint32_t& level) = 0;
  // Hands the record over; false, calling nothing, for a null results object.
  virtual bool SaveResults(ICapabilityResults* results);
  // Seen by ReadProperties between its steps; callable from any thread.
  virtual void Abort() { aborted = true; }

  bool IsAborted() const { return aborted; }

 protected:
  std::atomic<bool> aborted{false};
  DEVICE_INFO deviceInfo;
};

}  // namespace quenlix
