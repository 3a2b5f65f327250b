#include "channels/loss_report.h"

namespace quenlix {

namespace {

// Packets that took their place in the sequence: duplicates and packets
// that came after their gap was given up do not.
uint64_t InSequence(const RECEPTION_COUNTS& c) { return c.received - c.duplicated - c.late; }

}  // namespace

bool CLossReport::Check(uint64_t nowMs, const RECEPTION_COUNTS& counts, LOSS_MINUTE* minute) {
  if (!started || nowMs < startMs) {
    started = true;
    startMs = nowMs;
    base = counts;
    return false;
  }
  if (nowMs - startMs < kIntervalMs) return false;
  LOSS_MINUTE m;
  m.lost = counts.lost - base.lost;
  m.expected = InSequence(counts) - InSequence(base) + m.lost;
  m.framesDropped = counts.framesDropped - base.framesDropped;
  startMs = nowMs;
  base = counts;
  if (m.lost == 0 && m.framesDropped == 0) return false;
  *minute = m;
  return true;
}

}  // namespace quenlix
