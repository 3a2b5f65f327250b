// Digital inputs and outputs: the driver's I/O object and the host's sink.
#pragma once

#include "quenlix/abi.h"

namespace quenlix {

// Host object; called on the driver's I/O threads, and on the host's own
// thread during Start (the first poll and the opening of the outputs).
class IIOEventSink {
 public:
  virtual void Reserved0() = 0;
  // Both are called while the I/O object holds its state lock, which keeps the events in order.
  // Return promptly; do not call the I/O object's Stop from inside them, nor wait there for a lock
  // that the host holds while it calls into the I/O object.
  // 0-based index; state 1 inactive, 2 active.
  virtual void OnInputChanged(uint32_t inputIndex, uint32_t state) = 0;
  // A request failed and every known state was forgotten.
  virtual void OnIOFailure() = 0;

 protected:
  ~IIOEventSink() = default;
};

class ICaptureIOApi {
  QUENLIX_INTERFACE_DESTRUCTOR(ICaptureIOApi)
  virtual bool SetEventSink(IIOEventSink* sink) = 0;
  virtual bool Start() = 0;
  virtual bool Stop() = 0;
  virtual uint32_t GetInputCount() = 0;
  virtual uint32_t GetOutputCount() = 0;
  // value 1 opens the output, any other value closes it.
  virtual bool SetOutput(uint32_t outputIndex, uint32_t value) = 0;
};

}  // namespace quenlix
