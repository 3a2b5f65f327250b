// Host objects that describe the camera, read by the driver's Open.
#pragma once

#include "quenlix/abi.h"

namespace quenlix {

class IDeviceConfig {
 public:
  virtual void Reserved0() = 0;
  virtual void Reserved1() = 0;
  virtual const char* GetModelName() = 0;
  virtual uint32_t GetChannelCount() = 0;
  virtual void Reserved4() = 0;
  virtual uint32_t GetInputCount() = 0;
  virtual uint32_t GetOutputCount() = 0;

 protected:
  ~IDeviceConfig() = default;
};

class INetworkConfig {
 public:
  virtual void Reserved0() = 0;
  virtual const char* GetAddress() = 0;
  virtual uint16_t GetPort() = 0;
  virtual void Reserved3() = 0;
  virtual uint32_t GetCodecType() = 0;  // 1 MJPEG, 2 MPEG-4, 3 H.264
  virtual const char* GetUserName() = 0;
  virtual const char* GetPassword() = 0;

 protected:
  ~INetworkConfig() = default;
};

class ICameraConfig {
 public:
  virtual void Reserved0() = 0;
  virtual IDeviceConfig* GetDevice() = 0;
  virtual INetworkConfig* GetNetwork() = 0;
  virtual void Reserved3() = 0;
  // Null when there is no parameter with that index (indexes start at 1).
  virtual const char* GetCustomParameter(uint32_t index) = 0;

 protected:
  ~ICameraConfig() = default;
};

}  // namespace quenlix
