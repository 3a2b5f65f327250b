#include "driver_session.h"

#include <algorithm>

namespace ipcap {

DriverSession::DriverSession(const DriverLibrary& library, const CameraOptions& camera)
    : library_(library), config_(camera), driver_(library.createIPCapture()) {}

DriverSession::~DriverSession() { Close(); }

bool DriverSession::Open(quenlix::IDebugSink* sink, quenlix::ISampleAllocator* allocator) {
  return driver_ != nullptr && driver_->Open(sink, allocator, &config_);
}

bool DriverSession::StartChannel(uint32_t index, quenlix::IFrameSink* sink,
                                 quenlix::IStreamSettings* settings) {
  quenlix::ipcapture::IIPVideoCapture* capture = driver_->GetVideoCapture();
  if (capture == nullptr) return false;
  channels_ = std::max(channels_, index + 1);
  return capture->StartChannel(index, sink, settings);
}

void DriverSession::Close() {
  if (driver_ == nullptr) return;
  if (quenlix::ipcapture::IIPVideoCapture* capture = driver_->GetVideoCapture()) {
    for (uint32_t i = 0; i < channels_; ++i) capture->StopChannel(i);
  }
  driver_->Close();
  library_.deleteIPCapture(driver_);
  driver_ = nullptr;
}

}  // namespace ipcap
