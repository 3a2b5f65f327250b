#include "channels/stream_diagnostics.h"

#include <algorithm>

#include "camera/http_utils.h"
#include "camera/text_helpers.h"

namespace quenlix {

const char* CStreamDiagnostics::DropReasonName(int reason) {
  switch (reason) {
    case kDropNoKeyFrame:
      return "no key frame yet";
    case kDropNoParameterSets:
      return "missing parameter sets";
    case kDropUnsupportedPayload:
      return "unsupported payload";
    case kDropMalformed:
      return "malformed payload";
    case kDropOversize:
      return "picture over the size limit";
    case kDropSequenceGap:
      return "lost packets";
    default:
      return "other";
  }
}

bool CStreamDiagnostics::Report(const std::string& cause, uint32_t level, const std::string& text) {
  if (frameSinceReport.exchange(false)) told.clear();
  if (std::find(told.begin(), told.end(), cause) != told.end()) return false;
  if (driver == nullptr || !HUtils::ShouldReport(driver)) return false;
  // Remembered only once logged: a report the throttle held back is offered
  // again on the next attempt.
  if (told.size() >= kMaxCauses) told.erase(told.begin());
  told.push_back(cause);
  driver->DebugMessage(level, "%s", text.c_str());
  return true;
}

void CStreamDiagnostics::OnFrameAccepted() {
  frames.fetch_add(1, std::memory_order_relaxed);
  frameSinceReport.store(true);
}

void CStreamDiagnostics::OnSessionPlaying(uint64_t nowMs, const CRTPMediaParser* parser) {
  judging = true;
  sessionStartMs = nowMs;
  packets.store(0);
  frames.store(0);
  refused.store(0);
  for (int r = 0; r < kDropReasonCount; ++r) {
    dropsAtStart[r] = parser != nullptr ? parser->DropCount(DropReason(r)) : 0;
  }
}

uint32_t CStreamDiagnostics::MsUntilVerdict(uint64_t nowMs, uint32_t limitMs) const {
  if (!judging) return limitMs;
  const uint64_t due = sessionStartMs + kQuietSessionMs;
  if (nowMs >= due) return 0;
  return due - nowMs < limitMs ? uint32_t(due - nowMs) : limitMs;
}

CStreamDiagnostics::Verdict CStreamDiagnostics::CheckSession(uint64_t nowMs,
                                                             const CRTPMediaParser* parser) {
  if (!judging || nowMs - sessionStartMs < kQuietSessionMs) return kSessionPending;
  judging = false;
  if (frames.load() != 0) return kSessionFine;
  if (packets.load() == 0) return kSessionNoPackets;
  dropSummary.clear();
  dropReasons.clear();
  auto add = [this](const char* name, uint32_t count) {
    if (count == 0) return;
    const char* comma = dropSummary.empty() ? "" : ", ";
    dropSummary += FormatString("%s%s: %u", comma, name, unsigned(count));
    dropReasons += FormatString("%s%s", comma, name);
  };
  for (int r = 0; r < kDropReasonCount; ++r) {
    const uint32_t now = parser != nullptr ? parser->DropCount(DropReason(r)) : 0;
    add(DropReasonName(r), now - dropsAtStart[r]);
  }
  add("refused by the host", refused.load());
  return kSessionAllDropped;
}

}  // namespace quenlix
