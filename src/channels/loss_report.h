// Sums a stream's packet loss and dropped frames over a minute, for the one
// line per stream and minute that the host's log gets while loss persists.
#pragma once

#include <cstdint>

#include "media/rtp_media_parser.h"

namespace quenlix {

struct LOSS_MINUTE {
  uint64_t lost = 0;
  uint64_t expected = 0;  // packets the camera numbered in the minute
  uint64_t framesDropped = 0;
};

class CLossReport {
 public:
  static constexpr uint64_t kIntervalMs = 60000;

  // Called once per supervision cycle with the stream's cumulative counts.
  // True, with the figures, when a minute has passed since the last look
  // that ended one and it lost packets or dropped frames.
  bool Check(uint64_t nowMs, const RECEPTION_COUNTS& counts, LOSS_MINUTE* minute);

 private:
  bool started = false;
  uint64_t startMs = 0;
  RECEPTION_COUNTS base;
};

}  // namespace quenlix
