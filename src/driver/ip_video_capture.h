// The capture object through which the host runs streams by slot index. It
// owns one channel per running slot; frames do not pass through it.
#pragma once

#include <cstdint>
#include <vector>

#include "quenlix/driver.h"
#include "quenlix/ipcapture.h"
#include "thread/recursive_lock.h"

namespace quenlix {

class CIPVideoCapture : public ipcapture::IIPVideoCapture {
 public:
  QUENLIX_IMPLEMENTS_DESTRUCTOR()

  // log receives the refusals that the host would want to know about; it
  // may be null.
  CIPVideoCapture(uint32_t slotCount, ICustomCreator* creator, IDriver* log);
  virtual ~CIPVideoCapture();
  CIPVideoCapture(const CIPVideoCapture&) = delete;
  CIPVideoCapture& operator=(const CIPVideoCapture&) = delete;

  uint32_t GetChannelCount() override;
  bool StartChannel(uint32_t index, IFrameSink* sink, IStreamSettings* settings) override;
  bool StopChannel(uint32_t index) override;
  bool ReconfigureChannel(uint32_t index, IResolution* resolution,
                          uint32_t frameIntervalMs) override;
  uint32_t ReservedQuery() override { return 0; }
  bool GetChannelStatus(uint32_t index, uint32_t* state, uint32_t* code, char* text,
                        uint32_t textSize) override;
  bool ReservedOperationA(uint32_t, uint32_t, uint32_t) override { return false; }
  bool ReservedOperationB(uint32_t, uint32_t, uint32_t) override { return false; }

 private:
  // Null when the slot is empty or out of range.
  ICameraChannel* LookUp(uint32_t index);

  ICustomCreator* creator;
  CRecursiveLock channelsLock;
  std::vector<OwnedObject<ICameraChannel>> channels;
  IDriver* log;
};

}  // namespace quenlix
