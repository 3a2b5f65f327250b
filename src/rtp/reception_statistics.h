// What the receiver saw of one RTP source, for the report blocks of its
// receiver reports: loss, the highest sequence number with its cycles and
// the interarrival jitter.
#pragma once

#include <cstdint>

#include "thread/recursive_lock.h"

namespace quenlix {

// One report block's figures, in the units the report carries them.
struct RECEPTION_REPORT {
  bool valid = false;          // a packet of the source has been seen
  uint8_t fractionLost = 0;    // since the previous report, in 1/256
  int32_t cumulativeLost = 0;  // clamped to 24 bits, signed
  uint32_t extendedHighest = 0;
  uint32_t jitter = 0;  // in time-stamp units
};

class CReceptionStatistics {
 public:
  // The video payloads of this system all run a 90 kHz clock.
  static constexpr uint32_t kClockRate = 90000;
  // Sequence jumps larger than these restart the count once confirmed.
  static constexpr uint16_t kMaxDropout = 3000;
  static constexpr uint16_t kMaxMisorder = 100;

  // arrivalUs: the packet's arrival on any steady clock, in microseconds.
  // Called on the receive thread.
  void OnPacket(uint32_t ssrc, uint16_t sequence, uint32_t rtpTime, uint64_t arrivalUs);
  // The figures for ssrc; moves the base of the fraction lost on, so that
  // each report tells the loss since the one before. An unknown source gets
  // an invalid (all zero) report.
  RECEPTION_REPORT TakeReport(uint32_t ssrc);

 private:
  void Restart(uint32_t ssrc, uint16_t sequence);
  void UpdateJitter(uint32_t rtpTime, uint64_t arrivalUs);

  CRecursiveLock lock;
  bool haveSource = false;
  uint32_t sourceSsrc = 0;
  uint16_t maxSequence = 0;
  uint32_t cycles = 0;  // count of wraps, shifted by 16
  uint32_t baseSequence = 0;
  uint32_t badSequence = 0;
  uint32_t received = 0;
  uint32_t expectedPrior = 0;
  uint32_t receivedPrior = 0;
  bool haveTransit = false;
  uint32_t lastTransit = 0;
  uint32_t jitterScaled = 0;  // jitter times 16, as RFC 3550 A.8 keeps it
};

}  // namespace quenlix
