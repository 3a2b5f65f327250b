// The driver of this camera family: its time-outs, I/O object, channels and
// open message.
#pragma once

#include "driver/ip_capture_driver.h"

namespace quenlix {

class CTavrikIPCaptureDriver : public CIPCaptureDriver {
 public:
  static constexpr const char* kDriverName = "TavrikIPCapture";
  static constexpr uint32_t kTimeoutMs = 40000;
  static constexpr uint32_t kSignalTimeoutMs = 10000;

  bool Open(IDebugSink* debugSink, ISampleAllocator* allocator, ICameraConfig* config) override;
  bool CreateIOApi() override;
  bool CreateAuxObject() override { return true; }
  ICameraChannel* CreateChannel(uint32_t index, IFrameSink* sink) override;
};

}  // namespace quenlix
