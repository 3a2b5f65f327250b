// The driver object, its video capture object and the exported factory.
#pragma once

#include "quenlix/abi.h"
#include "quenlix/config.h"
#include "quenlix/debug.h"
#include "quenlix/io.h"
#include "quenlix/media.h"

namespace quenlix {
namespace ipcapture {

class IIPVideoCapture {
  QUENLIX_INTERFACE_DESTRUCTOR(IIPVideoCapture)
  virtual uint32_t GetChannelCount() = 0;
  virtual bool StartChannel(uint32_t index, IFrameSink* sink, IStreamSettings* settings) = 0;
  virtual bool StopChannel(uint32_t index) = 0;
  virtual bool ReconfigureChannel(uint32_t index, IResolution* resolution,
                                  uint32_t frameIntervalMs) = 0;
  virtual uint32_t ReservedQuery() = 0;
  // state: 0 streaming, 2 signal lost, 3 stopped.
  virtual bool GetChannelStatus(uint32_t index, uint32_t* state, uint32_t* code, char* text,
                                uint32_t textSize) = 0;
  virtual bool ReservedOperationA(uint32_t a, uint32_t b, uint32_t c) = 0;
  virtual bool ReservedOperationB(uint32_t a, uint32_t b, uint32_t c) = 0;
};

class IIPCaptureDriver {
  QUENLIX_INTERFACE_DESTRUCTOR(IIPCaptureDriver)
  virtual bool Open(IDebugSink* debugSink, ISampleAllocator* allocator, ICameraConfig* config) = 0;
  virtual void Close() = 0;
  virtual IIPVideoCapture* GetVideoCapture() = 0;
  virtual ICaptureIOApi* GetIOApi() = 0;
};

class IIPCaptureDriverEx : public IIPCaptureDriver {
  QUENLIX_INTERFACE_DESTRUCTOR(IIPCaptureDriverEx)
  virtual void* GetExtension() = 0;
  virtual void* GetAuxObject() = 0;
};

}  // namespace ipcapture
}  // namespace quenlix

extern "C" {
QUENLIX_EXPORT quenlix::ipcapture::IIPCaptureDriver* QUENLIX_CDECL CreateIPCapture();
QUENLIX_EXPORT quenlix::ipcapture::IIPCaptureDriverEx* QUENLIX_CDECL CreateIPCaptureEx();
QUENLIX_EXPORT void QUENLIX_CDECL DeleteIPCapture(quenlix::ipcapture::IIPCaptureDriver* driver);
QUENLIX_EXPORT void QUENLIX_CDECL DeleteIPCaptureEx(quenlix::ipcapture::IIPCaptureDriverEx* driver);
}

// Function types for a host that loads the library by name.
using CreateIPCaptureFn = quenlix::ipcapture::IIPCaptureDriver*(QUENLIX_CDECL*)();
using CreateIPCaptureExFn = quenlix::ipcapture::IIPCaptureDriverEx*(QUENLIX_CDECL*)();
using DeleteIPCaptureFn = void(QUENLIX_CDECL*)(quenlix::ipcapture::IIPCaptureDriver*);
using DeleteIPCaptureExFn = void(QUENLIX_CDECL*)(quenlix::ipcapture::IIPCaptureDriverEx*);
