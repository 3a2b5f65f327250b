#include "rtp/reception_statistics.h"

namespace quenlix {

namespace {

constexpr uint32_t kSequenceModulo = 1u << 16;
constexpr int32_t kMaxCumulativeLost = 0x7FFFFF;
constexpr int32_t kMinCumulativeLost = -0x800000;
constexpr uint64_t kMicrosecondsPerSecond = 1000000;

}  // namespace

void CReceptionStatistics::Restart(uint32_t ssrc, uint16_t sequence) {
  haveSource = true;
  sourceSsrc = ssrc;
  baseSequence = sequence;
  maxSequence = sequence;
  badSequence = kSequenceModulo + 1;  // no sequence number equals it
  cycles = 0;
  received = 0;
  expectedPrior = 0;
  receivedPrior = 0;
  haveTransit = false;
  jitterScaled = 0;
}

void CReceptionStatistics::OnPacket(uint32_t ssrc, uint16_t sequence, uint32_t rtpTime,
                                    uint64_t arrivalUs) {
  CLockGuard guard(&lock);
  if (!haveSource || ssrc != sourceSsrc) Restart(ssrc, sequence);
  const uint16_t delta = uint16_t(sequence - maxSequence);
  if (received == 0) {
    // The first packet of the source.
  } else if (delta < kMaxDropout) {
    if (sequence < maxSequence) cycles += kSequenceModulo;
    maxSequence = sequence;
  } else if (delta <= kSequenceModulo - kMaxMisorder) {
    // A large jump: taken as a restart of the sender only when the next
    // packet follows on from it, as RFC 3550 A.1 does.
    if (sequence != badSequence) {
      badSequence = (uint32_t(sequence) + 1) & (kSequenceModulo - 1);
      return;
    }
    Restart(ssrc, sequence);
  }
  // Else a duplicate or a late packet: counted, the highest stays.
  ++received;
  UpdateJitter(rtpTime, arrivalUs);
}

void CReceptionStatistics::UpdateJitter(uint32_t rtpTime, uint64_t arrivalUs) {
  const uint32_t arrival = uint32_t(arrivalUs * kClockRate / kMicrosecondsPerSecond);
  const uint32_t transit = arrival - rtpTime;
  if (haveTransit) {
    const int32_t d = int32_t(transit - lastTransit);
    const uint32_t magnitude = d < 0 ? uint32_t(-int64_t(d)) : uint32_t(d);
    jitterScaled += magnitude - ((jitterScaled + 8) >> 4);
  }
  lastTransit = transit;
  haveTransit = true;
}

RECEPTION_REPORT CReceptionStatistics::TakeReport(uint32_t ssrc) {
  CLockGuard guard(&lock);
  RECEPTION_REPORT report;
  if (!haveSource || ssrc != sourceSsrc || received == 0) return report;
  report.valid = true;
  const uint32_t extendedMax = cycles + maxSequence;
  report.extendedHighest = extendedMax;
  const uint32_t expected = extendedMax - baseSequence + 1;
  const int64_t lost = int64_t(expected) - int64_t(received);
  report.cumulativeLost = int32_t(lost > kMaxCumulativeLost   ? kMaxCumulativeLost
                                  : lost < kMinCumulativeLost ? kMinCumulativeLost
                                                              : lost);
  const uint32_t expectedInterval = expected - expectedPrior;
  const uint32_t receivedInterval = received - receivedPrior;
  expectedPrior = expected;
  receivedPrior = received;
  const int64_t lostInterval = int64_t(expectedInterval) - int64_t(receivedInterval);
  if (expectedInterval != 0 && lostInterval > 0) {
    const uint64_t fraction = (uint64_t(lostInterval) << 8) / expectedInterval;
    report.fractionLost = uint8_t(fraction > 255 ? 255 : fraction);
  }
  report.jitter = jitterScaled >> 4;
  return report;
}

}  // namespace quenlix
