// Stack reservations of the driver's threads. A 32-bit host holds hundreds
// of them (three per stream), and the default reservation of 1 MiB each
// would take 770 MB of its 2 GB address space at 256 streams; these take
// 80 MiB. The deepest use measured with scripts/stack-usage was 16 KiB (the
// channel worker, in an HTTP request); each size is at least four times
// that, in whole 64 KiB units (what Windows reserves in), and a thread on
// which the host's own code runs (Deliver, the log, event and query
// callbacks) gets twice as much, as that code is not ours to measure.
#pragma once

#include <cstddef>

namespace quenlix {
namespace thread {

constexpr size_t kStackUnit = 64 * 1024;

// UDP receive: RTP parsing, depacketizing, and the host's Deliver.
constexpr size_t kReceiveThreadStack = 2 * kStackUnit;
// RTCP: reports in and out; no host code.
constexpr size_t kRtcpThreadStack = kStackUnit;
// Channel worker: RTSP session, the camera's HTTP configuration, the log.
constexpr size_t kWorkerThreadStack = 2 * kStackUnit;
// Ticker and work-item threads (digital I/O over HTTP, the host's event
// sink) and the capability query.
constexpr size_t kHelperThreadStack = 2 * kStackUnit;

}  // namespace thread
}  // namespace quenlix
