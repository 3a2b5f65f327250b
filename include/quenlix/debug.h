// Debug output: the record handed to the host and the host's sink.
#pragma once

#include "quenlix/abi.h"

// The record interface handed to the host's debug sink.
class CDebugInfoIf {
  QUENLIX_INTERFACE_DESTRUCTOR(CDebugInfoIf)
  virtual uint8_t GetLevel() = 0;
  virtual const char* GetText() = 0;
};

// The driver's logging interface. repeatCount belongs to the HTTP layer's
// repeat throttle.
class IDebugMessage {
  QUENLIX_INTERFACE_DESTRUCTOR(IDebugMessage)
  virtual void DebugMessage(uint32_t level, const char* format, ...) = 0;

  uint32_t repeatCount = 0;
};

namespace quenlix {

// Host object. The record is valid only during Post.
class IDebugSink {
 public:
  virtual void Reserved0() = 0;
  virtual void Post(CDebugInfoIf* record) = 0;

 protected:
  ~IDebugSink() = default;
};

}  // namespace quenlix
