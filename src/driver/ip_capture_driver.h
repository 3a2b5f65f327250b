// The generic driver object: everything that does not depend on the camera
// family. The family class supplies its time-outs, I/O object and channels.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "quenlix/driver.h"
#include "quenlix/ipcapture.h"

namespace quenlix {

// Owned optional object; this driver never makes one. It is handed to the
// host by GetAuxObject, so it is destroyed through the same one-slot
// destructor as every other interface.
class IAuxObject {
  QUENLIX_INTERFACE_DESTRUCTOR(IAuxObject)
};

struct HostVersion {
  uint16_t major = 0;
  uint16_t minor = 0;
  uint16_t build = 0;
  uint16_t revision = 0;
};

class CIPCaptureDriver : public ipcapture::IIPCaptureDriverEx,
                         public IDriver,
                         public ICustomCreator {
 public:
  QUENLIX_IMPLEMENTS_DESTRUCTOR()

  // The host core library whose version decides the message levels.
  static constexpr const char* kHostLibrary = "brannic.dll";
  // Assumed when that library's version cannot be read.
  static constexpr HostVersion kFallbackHostVersion{5, 12, 0, 0};

  CIPCaptureDriver();
  virtual ~CIPCaptureDriver();
  CIPCaptureDriver(const CIPCaptureDriver&) = delete;
  CIPCaptureDriver& operator=(const CIPCaptureDriver&) = delete;

  // IIPCaptureDriver / IIPCaptureDriverEx
  bool Open(IDebugSink* debugSink, ISampleAllocator* allocator, ICameraConfig* config) override;
  void Close() override;
  ipcapture::IIPVideoCapture* GetVideoCapture() override { return videoCapture.get(); }
  ICaptureIOApi* GetIOApi() override { return ioApi.get(); }
  void* GetExtension() override { return nullptr; }
  void* GetAuxObject() override { return auxObject.get(); }

  virtual bool CreateIOApi() = 0;
  virtual bool CreateAuxObject() = 0;

  // IDebugMessage / IDriver
  void DebugMessage(uint32_t level, const char* format, ...) override;
  DEVICE_INFO GetDeviceInfo() override { return deviceInfo; }
  std::pair<uint32_t, uint32_t> GetIOCounts() override { return {inputCount, outputCount}; }
  ISampleAllocator* GetSampleAllocator() override { return sampleAllocator; }
  uint32_t GetVariantFlag() override { return variantFlag; }
  uint32_t GetCodecType() override { return codecType; }
  uint32_t GetChannelCount() override { return channelCount; }
  std::string GetCustomString(uint32_t index) override;
  int32_t GetCustomInt(uint32_t index) override;

  HostVersion GetHostVersion() const { return hostVersion; }

 protected:
  // Posts one finished message to the host's sink, with the level adapted.
  void PostToSink(uint32_t level, const std::string& text);

  IDebugSink* debugSink = nullptr;
  ISampleAllocator* sampleAllocator = nullptr;
  DEVICE_INFO deviceInfo;
  uint32_t inputCount = 0;
  uint32_t outputCount = 0;
  uint32_t channelCount = 0;
  uint32_t codecType = 0;
  uint32_t variantFlag = 0;
  std::map<uint32_t, std::string> customParams;
  HostVersion hostVersion;
  OwnedObject<ICaptureIOApi> ioApi;
  OwnedObject<ipcapture::IIPVideoCapture> videoCapture;
  OwnedObject<IAuxObject> auxObject;

 private:
  void ReadCustomParameters(ICameraConfig* config);
  void ReadHostVersion();
  void CreateVideoCapture();
};

// Parses a custom parameter as a decimal integer; kNoValue when it is not one
// or does not fit in 32 bits.
int32_t ParseCustomInt(const std::string& text);

}  // namespace quenlix
