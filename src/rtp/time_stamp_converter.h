// Wall-clock times for frames, from their RTP time stamps.
#pragma once

#include <cstdint>

#include "quenlix/abi.h"
#include "rtp/statistics_helper.h"

namespace quenlix {

// Follows the camera's RTP clock at the rate measured against the system
// clock, never behind the system clock, and works off any lead gently.
// Used by one receiving thread only.
class CTimeStampConverter {
 public:
  CTimeStampConverter();
  virtual ~CTimeStampConverter();

  void Reset();
  // Once per emitted frame, before its sample is allocated.
  void Update(uint32_t rtpTime);
  // The time for the frame's sample (UTC).
  void GetTime(SYSTEMTIME* time) const;

  // The converter's clock in file-time units; 0 while unset.
  uint64_t CurrentFileTime() const { return current; }

 protected:
  // The system clock as a file time, 0 when it cannot be read. Virtual so
  // that tests can drive the clock.
  virtual uint64_t Now() const;

 private:
  // RTP ticks to file-time units at the learned rate.
  uint64_t ScaleTicks(uint32_t ticks) const;
  void Restart(uint64_t now, uint32_t rtpTime, bool relearn);
  // The mean wall time between frames, at least a millisecond.
  uint64_t FrameInterval() const;

  uint64_t current = 0;
  uint32_t lastRtpTime = 0;
  uint64_t lead = 0;
  TStatisticsHelper<unsigned int> tickStats;
  TStatisticsHelper<unsigned int> wallStats;
  uint64_t lastWall = 0;
};

}  // namespace quenlix
