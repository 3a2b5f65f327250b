// The frame path: the host's allocator, samples, sinks and stream settings.
#pragma once

#include "quenlix/abi.h"

namespace quenlix {

// The frame record the host receives. Only the slots named here are called.
class IMediaSample {
 public:
  virtual void Reserved0() = 0;
  virtual void Reserved1() = 0;
  virtual uint8_t* GetBuffer() = 0;
  virtual void Reserved3() = 0;
  virtual void SetLength(uint32_t length) = 0;
  virtual void Reserved5() = 0;
  virtual void SetTime(const SYSTEMTIME* time) = 0;  // UTC
  virtual void Reserved7() = 0;
  virtual void Reserved8() = 0;
  virtual void Reserved9() = 0;
  virtual void SetType(uint32_t typeCode) = 0;
  virtual void Reserved11() = 0;
  virtual void SetHeight(uint32_t height) = 0;
  virtual void Reserved13() = 0;
  virtual void SetWidth(uint32_t width) = 0;
  virtual void Reserved15() = 0;
  virtual void SetSizeClass(uint32_t sizeClass) = 0;

 protected:
  ~IMediaSample() = default;
};

class ISampleAllocator {
 public:
  virtual void Reserved0() = 0;
  virtual void Reserved1() = 0;
  // Null when no sample is available.
  virtual IMediaSample* Allocate(uint32_t typeCode, uint32_t capacity, const char* source) = 0;
  virtual void Reserved3() = 0;
  virtual void Reserved4() = 0;
  virtual void Reserved5() = 0;
  virtual void Release(IMediaSample* sample) = 0;

 protected:
  ~ISampleAllocator() = default;
};

// One per stream; called on the stream's receive thread.
class IFrameSink {
 public:
  virtual void Reserved0() = 0;
  // Return quickly: while Deliver runs, the stream's datagrams wait in the
  // socket's receive buffer, and what overflows it is lost. A host that
  // writes to disk (or does anything else that can stall) copies what it
  // needs into a queue of its own and writes from another thread; the
  // driver releases the sample as soon as Deliver returns.
  virtual bool Deliver(IMediaSample* sample) = 0;
  virtual void Reserved2() = 0;
  virtual void OnSignalLost() = 0;

 protected:
  ~IFrameSink() = default;
};

class IResolution {
 public:
  virtual void Reserved0() = 0;
  virtual uint16_t GetWidth() = 0;
  virtual uint16_t GetHeight() = 0;

 protected:
  ~IResolution() = default;
};

class IStreamFormat {
 public:
  virtual void Reserved0() = 0;
  virtual void Reserved1() = 0;
  virtual void Reserved2() = 0;
  virtual IResolution* GetResolution() = 0;

 protected:
  ~IStreamFormat() = default;
};

class IStreamRate {
 public:
  virtual void Reserved0() = 0;
  virtual uint16_t GetFrameInterval() = 0;  // milliseconds
  virtual void Reserved2() = 0;
  virtual uint16_t GetQuality() = 0;  // percent

 protected:
  ~IStreamRate() = default;
};

class IStreamSettings {
 public:
  virtual void Reserved0() = 0;
  virtual IStreamFormat* GetFormat() = 0;
  virtual IStreamRate* GetRate() = 0;

 protected:
  ~IStreamSettings() = default;
};

}  // namespace quenlix
