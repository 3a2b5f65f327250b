// One driver object from CreateIPCapture to DeleteIPCapture, as a recorder
// holds it: opened with the host's objects, and its channels stopped, closed
// and deleted however the command ends.
#pragma once

#include <cstdint>

#include "driver_library.h"
#include "host_objects.h"
#include "quenlix/media.h"

namespace ipcap {

class DriverSession {
 public:
  // Creates the driver; Created() says whether the library gave one.
  DriverSession(const DriverLibrary& library, const CameraOptions& camera);
  ~DriverSession();
  DriverSession(const DriverSession&) = delete;
  DriverSession& operator=(const DriverSession&) = delete;

  bool Created() const { return driver_ != nullptr; }
  // allocator may be null for a command that takes no frames.
  bool Open(quenlix::IDebugSink* sink, quenlix::ISampleAllocator* allocator);
  // The driver may keep sink and settings for as long as the channel runs.
  bool StartChannel(uint32_t index, quenlix::IFrameSink* sink, quenlix::IStreamSettings* settings);
  // Stops the channels started here, closes and deletes the driver; once.
  void Close();

  quenlix::ipcapture::IIPCaptureDriver* Driver() const { return driver_; }

 private:
  const DriverLibrary& library_;
  // The driver reads its configuration while it is open.
  OptionsCameraConfig config_;
  quenlix::ipcapture::IIPCaptureDriver* driver_ = nullptr;
  uint32_t channels_ = 0;  // one past the highest slot started
};

}  // namespace ipcap
