#include "rtp/time_stamp_converter.h"

#include <algorithm>
#include <cmath>

#include "platform/platform.h"

namespace quenlix {

namespace {

// File-time units (100 ns).
constexpr uint64_t kOneMs = 10000;
constexpr uint64_t kFourMs = 40000;
constexpr uint64_t kMaxLeadUnchecked = 2500000;  // 250 ms
constexpr uint64_t kOneSecond = 10000000;
// Until the rate is learned, assume a 90 kHz clock (111.1 rounded down).
constexpr uint64_t kLearningUnitsPerTick = 111;
constexpr uint32_t kLearningSamples = 100;
constexpr uint32_t kWindowSamples = 1000;

}  // namespace

CTimeStampConverter::CTimeStampConverter() : tickStats(kWindowSamples), wallStats(kWindowSamples) {}

CTimeStampConverter::~CTimeStampConverter() = default;

void CTimeStampConverter::Reset() {
  current = 0;
  lastRtpTime = 0;
  lead = 0;
  lastWall = 0;
  tickStats.Clear();
  wallStats.Clear();
}

uint64_t CTimeStampConverter::Now() const {
  SYSTEMTIME st{};
  platform::GetSystemTime(&st);
  uint64_t fileTime = 0;
  if (!platform::SystemTimeToFileTime(st, &fileTime)) return 0;
  return fileTime;
}

void CTimeStampConverter::Update(uint32_t rtpTime) {
  const uint64_t now = Now();
  if (now == 0 || current == 0 || lastRtpTime == 0) {
    Restart(now, rtpTime, false);
    return;
  }

  bool resync = false;
  if (rtpTime <= lastRtpTime) {
    // No advance, or the 32-bit stamp wrapped: step on by a millisecond.
    current = std::max(current + kOneMs, now);
    resync = true;
  } else {
    const uint32_t d = rtpTime - lastRtpTime;
    const bool estimating = tickStats.Count() >= kLearningSamples;
    const uint64_t wallElapsed = now >= lastWall ? now - lastWall : 0;
    // A step far beyond the time that really passed is a new time base (the
    // camera restarted): kept in the windows it would skew the learned rate
    // for the next thousand frames, so it is left out and the clock restarts.
    const uint64_t predicted = estimating ? ScaleTicks(d) : uint64_t(d) * kLearningUnitsPerTick;
    if (predicted >= kOneSecond && (!estimating || predicted > wallElapsed + kOneSecond)) {
      Restart(now, rtpTime, estimating);
      return;
    }
    tickStats.Add(d);
    if (now >= lastWall) wallStats.Add(uint32_t(now - lastWall));

    if (tickStats.Count() > kLearningSamples) {
      uint64_t inc = ScaleTicks(d);
      if (lead > kOneMs && inc > kFourMs) {
        const uint64_t c = std::max(std::min(inc / 10, lead), kOneMs);
        inc -= c;
        lead -= c;
      }
      current += inc;
    } else {
      current += uint64_t(d) * kLearningUnitsPerTick;
      resync = tickStats.Count() == kLearningSamples;
    }
  }

  if (current <= now) {
    current = now;
    lead = 0;
  } else if (resync || current - now > kMaxLeadUnchecked) {
    lead = current - now;
  }
  lastWall = now;
  lastRtpTime = rtpTime;
}

uint64_t CTimeStampConverter::ScaleTicks(uint32_t ticks) const {
  const double tickMean = tickStats.Mean();
  if (tickMean <= 0.0) return 0;
  const double scaled = std::round(double(ticks) * wallStats.Mean() / tickMean);
  return scaled > 0.0 ? uint64_t(scaled) : 0;
}

void CTimeStampConverter::Restart(uint64_t now, uint32_t rtpTime, bool relearn) {
  // A clock ahead of now (after a burst) restarted at now would hand the
  // host a time before the one it already has: the restart goes on from the
  // last time issued, a frame interval later, and works the lead off.
  const uint64_t floor = current != 0 && now != 0 ? current + FrameInterval() : 0;
  if (relearn) {
    tickStats.Clear();
    wallStats.Clear();
  }
  current = std::max(now, floor);
  lead = current - now;
  if (now == 0) lead = 0;
  lastWall = now;
  lastRtpTime = rtpTime;
}

uint64_t CTimeStampConverter::FrameInterval() const {
  const double mean = wallStats.Mean();
  return mean > double(kOneMs) ? uint64_t(std::llround(mean)) : kOneMs;
}

void CTimeStampConverter::GetTime(SYSTEMTIME* time) const {
  if (time == nullptr) return;
  if (current != 0 && lastRtpTime != 0 && platform::FileTimeToSystemTime(current, time)) return;
  platform::GetSystemTime(time);
}

}  // namespace quenlix
