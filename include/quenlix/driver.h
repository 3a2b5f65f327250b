// The driver's service interfaces: what every channel, parser, sender and the
// I/O object hold (IDriver), how the capture object asks for a channel
// (ICustomCreator), and the channel interface itself.
//
// Internal to the driver, never a host's: IDriver returns classes by value
// and passes std:: types, which only code built by the DLL's own compiler can
// share. No host-facing header includes this one and the release package
// leaves it out (scripts/abi-check holds both).
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "quenlix/abi.h"
#include "quenlix/debug.h"
#include "quenlix/media.h"

namespace quenlix {

// The levels of IDebugMessage::DebugMessage; the driver adapts them to what
// the installed host understands before they reach its sink.
enum MessageLevel : uint32_t {
  kLevelError = 1,
  kLevelInfoOld = 2,  // information, for hosts older than 5.12
  kLevelInfo = 3,
  kLevelNotSent = 4,  // never delivered
  kLevelOpened = 100,
};

// Sole owner of a driver object, destroyed through its slot-0 destructor.
struct ObjectDeleter {
  template <class I>
  void operator()(I* object) const {
    DestroyObject(object);
  }
};
template <class I>
using OwnedObject = std::unique_ptr<I, ObjectDeleter>;

// Returned by integer look-ups that find nothing.
constexpr int32_t kNoValue = INT32_MIN;

// The camera's network settings; every user takes a copy.
struct DEVICE_INFO {
  virtual ~DEVICE_INFO() = default;

  uint32_t timeoutMs = 5000;
  uint32_t signalTimeoutMs = 5000;
  std::string address;
  uint16_t port = 80;
  std::string userName;
  std::string password;
};

class IDriver : public IDebugMessage {
  QUENLIX_INTERFACE_DESTRUCTOR(IDriver)
  virtual DEVICE_INFO GetDeviceInfo() = 0;
  virtual std::pair<uint32_t, uint32_t> GetIOCounts() = 0;  // inputs, outputs
  virtual ISampleAllocator* GetSampleAllocator() = 0;
  virtual uint32_t GetVariantFlag() = 0;  // 0 PAL, 1 NTSC
  virtual uint32_t GetCodecType() = 0;    // 1 MJPEG, 2 MPEG-4, 3 H.264
  virtual uint32_t GetChannelCount() = 0;
  // "" when absent or "(none)".
  virtual std::string GetCustomString(uint32_t index) = 0;
  // kNoValue when absent or not a decimal number.
  virtual int32_t GetCustomInt(uint32_t index) = 0;
};

// The requested stream.
struct STREAM_SETTINGS {
  uint32_t frameIntervalMs = 0;
  uint32_t quality = 0;
  uint32_t width = 0;
  uint32_t height = 0;
};

// Stream states as GetState reports them. 1 is never set.
enum CameraState : uint32_t {
  CameraStreaming = 0,
  CameraSignalLost = 2,
  CameraStopped = 3,
};

class ICameraChannel {
  QUENLIX_INTERFACE_DESTRUCTOR(ICameraChannel)
  virtual bool Start(const STREAM_SETTINGS& settings) = 0;
  virtual void Stop() = 0;
  virtual bool Restart(const STREAM_SETTINGS& settings) = 0;
  virtual uint32_t GetState() = 0;
  virtual void SetState(uint32_t state) = 0;
};

class ICustomCreator {
  QUENLIX_INTERFACE_DESTRUCTOR(ICustomCreator)
  // Null for an unknown codec type or when allocation fails; the caller owns
  // the channel.
  virtual ICameraChannel* CreateChannel(uint32_t index, IFrameSink* sink) = 0;
};

}  // namespace quenlix
