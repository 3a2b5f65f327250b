// Why a stream brings no frames, for the host's log: each cause is told once
// per stream until the stream delivers a frame again, and through the
// driver's repeat throttle, so a camera that stays down is not a flood. It
// also watches each session's first seconds: nothing from the camera, or
// packets of which no frame could be made.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "media/rtp_media_parser.h"
#include "quenlix/driver.h"

namespace quenlix {

class CStreamDiagnostics {
 public:
  // A session that plays but brings no frame for this long is reported.
  static constexpr uint32_t kQuietSessionMs = 5000;
  // Distinct causes remembered between frames; beyond it the oldest goes.
  static constexpr size_t kMaxCauses = 32;

  enum Verdict {
    kSessionPending,    // no session, or not yet kQuietSessionMs old, or judged
    kSessionFine,       // a frame reached the host
    kSessionNoPackets,  // nothing from the camera's address
    kSessionAllDropped  // packets, but no frame reached the host
  };

  explicit CStreamDiagnostics(IDriver* driver) : driver(driver) {}

  // Logs text (the whole message) at level unless cause was told since the
  // last accepted frame. Worker thread only. True when it was logged.
  bool Report(const std::string& cause, uint32_t level, const std::string& text);

  // Receive thread.
  void OnPacket() { packets.fetch_add(1, std::memory_order_relaxed); }
  void OnFrameRefused() { refused.fetch_add(1, std::memory_order_relaxed); }
  void OnFrameAccepted();

  // Worker thread: a session begins to play at nowMs; parser may be null.
  void OnSessionPlaying(uint64_t nowMs, const CRTPMediaParser* parser);
  // Worker thread: the session is over; it is not judged any more.
  void OnSessionEnded() { judging = false; }
  // Worker thread, once a cycle while the session plays: the verdict on its
  // first kQuietSessionMs, given once per session.
  Verdict CheckSession(uint64_t nowMs, const CRTPMediaParser* parser);
  // How long until the verdict on the playing session is due; at most
  // limitMs, and limitMs when none is.
  uint32_t MsUntilVerdict(uint64_t nowMs, uint32_t limitMs) const;
  // What was dropped since the session began, e.g. "no key frame yet: 120,
  // refused by the host: 2"; "" when nothing was.
  const std::string& DropSummary() const { return dropSummary; }
  // The reasons of DropSummary without their counts, to name the cause.
  const std::string& DropReasons() const { return dropReasons; }

  static const char* DropReasonName(int reason);

 private:
  IDriver* driver;
  std::vector<std::string> told;
  std::atomic<bool> frameSinceReport{false};
  std::atomic<uint32_t> packets{0};
  std::atomic<uint32_t> frames{0};
  std::atomic<uint32_t> refused{0};
  bool judging = false;
  uint64_t sessionStartMs = 0;
  uint32_t dropsAtStart[kDropReasonCount] = {};
  std::string dropSummary;
  std::string dropReasons;
};

}  // namespace quenlix
